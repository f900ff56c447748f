#include "qtresize.h"

#include <QComboBox>
#include <QFontInfo>
#include <QFrame>
#include <QMdiSubWindow>
#include <cmath>

#include "twips.h"

namespace meridan::ui {

namespace {

// Twips to pixels; fails for a value no widget can take.
std::optional<int> toPixels(double twips) {
    if (!std::isfinite(twips)) return std::nullopt;
    const double pixels = twips / twipsPerPixel();
    if (std::fabs(pixels) > QWIDGETSIZE_MAX) return std::nullopt;
    return twipsToPixels(twips);
}

// Like toPixels(), for a size: fails below 0 as well.
std::optional<int> toPixelSize(double twips) {
    if (!(twips >= 0)) return std::nullopt;
    return toPixels(twips);
}

bool isLine(const QWidget* widget) {
    const auto* frame = qobject_cast<const QFrame*>(widget);
    return frame && (frame->frameShape() == QFrame::HLine || frame->frameShape() == QFrame::VLine);
}

bool isVerticalLine(const QWidget* widget) {
    const auto* frame = qobject_cast<const QFrame*>(widget);
    return frame && frame->frameShape() == QFrame::VLine;
}

// A combo box is as high as its size hint asks for at its current font.
void fitComboHeight(QWidget* widget) {
    if (auto* combo = qobject_cast<QComboBox*>(widget))
        combo->resize(combo->width(), combo->sizeHint().height());
}

void collectControls(const QObject* parent, std::vector<std::shared_ptr<ResizeControl>>& out) {
    for (QObject* child : parent->children()) {
        auto* widget = qobject_cast<QWidget*>(child);
        if (!widget || widget->isWindow()) continue;
        const QString name = widget->objectName();
        if (!name.isEmpty() && !name.startsWith(QLatin1String("qt_")))
            out.push_back(std::make_shared<QtResizeControl>(widget));
        collectControls(widget, out);
    }
}

}  // namespace

// --- QtResizeControl ---

QtResizeControl::QtResizeControl(QWidget* widget) : widget_(widget) {}

QString QtResizeControl::name() const {
    const QWidget* w = widget_.data();
    return w ? w->objectName() : QString();
}

std::optional<int> QtResizeControl::index() const {
    const QWidget* w = widget_.data();
    if (!w) return std::nullopt;
    const QVariant index = w->property("Index");
    bool ok = false;
    const int value = index.toInt(&ok);
    if (!index.isValid() || !ok) return std::nullopt;
    return value;
}

ControlKind QtResizeControl::kind() const {
    const QWidget* w = widget_.data();
    if (qobject_cast<const QComboBox*>(w)) return ControlKind::ComboBox;
    if (w && isLine(w)) return ControlKind::Line;
    return ControlKind::Other;
}

PropError QtResizeControl::get(ControlProperty property, double& value) const {
    const QWidget* w = widget_.data();
    if (!w) return PropError::Refused;
    const QRect r = w->geometry();
    const double tpp = twipsPerPixel();
    const bool line = isLine(w);
    const bool vertical = isVerticalLine(w);
    switch (property) {
        case ControlProperty::Fontsize:
        case ControlProperty::Font_Size: {
            const QFont font = w->font();
            value = font.pointSizeF() > 0 ? font.pointSizeF() : QFontInfo(font).pointSizeF();
            return PropError::None;
        }
        case ControlProperty::Top:
            value = r.y() * tpp;
            return PropError::None;
        case ControlProperty::Left:
            value = r.x() * tpp;
            return PropError::None;
        case ControlProperty::Width:
            value = r.width() * tpp;
            return PropError::None;
        case ControlProperty::Height:
            value = r.height() * tpp;
            return PropError::None;
        case ControlProperty::X1:
        case ControlProperty::X2:
            if (!line) return PropError::NoSuchProperty;
            if (vertical)
                value = (r.x() + r.width() / 2.0) * tpp;
            else
                value = (property == ControlProperty::X1 ? r.x() : r.x() + r.width()) * tpp;
            return PropError::None;
        case ControlProperty::Y1:
        case ControlProperty::Y2:
            if (!line) return PropError::NoSuchProperty;
            if (vertical)
                value = (property == ControlProperty::Y1 ? r.y() : r.y() + r.height()) * tpp;
            else
                value = (r.y() + r.height() / 2.0) * tpp;
            return PropError::None;
    }
    return PropError::NoSuchProperty;
}

PropError QtResizeControl::set(ControlProperty property, double value) {
    QWidget* w = widget_.data();
    if (!w) return PropError::Refused;
    switch (property) {
        case ControlProperty::Fontsize:
        case ControlProperty::Font_Size: {
            if (!(value > 0) || !std::isfinite(value)) return PropError::Refused;
            QFont font = w->font();
            font.setPointSizeF(value);
            w->setFont(font);
            fitComboHeight(w);
            return PropError::None;
        }
        case ControlProperty::Top: {
            const std::optional<int> px = toPixels(value);
            if (!px) return PropError::Refused;
            w->move(w->x(), *px);
            return PropError::None;
        }
        case ControlProperty::Left: {
            const std::optional<int> px = toPixels(value);
            if (!px) return PropError::Refused;
            w->move(*px, w->y());
            return PropError::None;
        }
        case ControlProperty::Width: {
            const std::optional<int> px = toPixelSize(value);
            if (!px) return PropError::Refused;
            w->resize(*px, w->height());
            return PropError::None;
        }
        case ControlProperty::Height: {
            if (qobject_cast<QComboBox*>(w)) return PropError::Refused;
            const std::optional<int> px = toPixelSize(value);
            if (!px) return PropError::Refused;
            w->resize(w->width(), *px);
            return PropError::None;
        }
        case ControlProperty::X1:
        case ControlProperty::X2:
        case ControlProperty::Y1:
        case ControlProperty::Y2:
            if (!isLine(w)) return PropError::NoSuchProperty;
            return setLineEnd(*w, property, value);
    }
    return PropError::NoSuchProperty;
}

PropError QtResizeControl::setLineEnd(QWidget& w, ControlProperty property, double twips) {
    const std::optional<int> px = toPixels(twips);
    if (!px) return PropError::Refused;
    QRect r = w.geometry();
    const bool vertical = isVerticalLine(&w);
    const bool first = property == ControlProperty::X1 || property == ControlProperty::Y1;
    const bool along =
        (property == ControlProperty::X1 || property == ControlProperty::X2) ? !vertical : vertical;
    if (along) {
        // Move one end; the other stays where it is. A rectangle cannot run backwards, so an
        // end moved past the other one leaves a line of no length at the moved end, and
        // setting the second end afterwards gives the full line again.
        int start = vertical ? r.y() : r.x();
        int end = vertical ? r.y() + r.height() : r.x() + r.width();
        (first ? start : end) = *px;
        if (end < start) (first ? end : start) = *px;
        if (vertical)
            r = QRect(r.x(), start, r.width(), end - start);
        else
            r = QRect(start, r.y(), end - start, r.height());
    } else {
        // Move the centre line across; the thickness stays.
        const double centre = twips / twipsPerPixel();
        if (vertical)
            r.moveLeft(static_cast<int>(std::lround(centre - r.width() / 2.0)));
        else
            r.moveTop(static_cast<int>(std::lround(centre - r.height() / 2.0)));
    }
    w.setGeometry(r);
    return PropError::None;
}

PropError QtResizeControl::move(double left, double top, double width, double height) {
    QWidget* widget = widget_.data();
    if (!widget) return PropError::Refused;
    const std::optional<int> x = toPixels(left);
    const std::optional<int> y = toPixels(top);
    const std::optional<int> w = toPixelSize(width);
    std::optional<int> h = toPixelSize(height);
    // A combo box keeps the height its font gives it.
    if (qobject_cast<QComboBox*>(widget)) h = widget->height();
    if (!x || !y || !w || !h) return PropError::Refused;
    widget->setGeometry(*x, *y, *w, *h);
    return PropError::None;
}

// --- QtResizeForm ---

QtResizeForm::QtResizeForm(QWidget* window, double frameWidthTwips, double frameHeightTwips)
    : window_(window), frameWidth_(frameWidthTwips), frameHeight_(frameHeightTwips) {}

PropError QtResizeForm::width(double& value) const {
    const QWidget* window = window_.data();
    if (!window) return PropError::Refused;
    value = pixelsToTwips(window->width()) + frameWidth_;
    return PropError::None;
}

PropError QtResizeForm::height(double& value) const {
    const QWidget* window = window_.data();
    if (!window) return PropError::Refused;
    value = pixelsToTwips(window->height()) + frameHeight_;
    return PropError::None;
}

PropError QtResizeForm::setWidth(double value) {
    QWidget* window = window_.data();
    const std::optional<int> px = toPixelSize(value - frameWidth_);
    if (!window || !px) return PropError::Refused;
    resizeClient(*window, QSize(*px, window->height()));
    return PropError::None;
}

PropError QtResizeForm::setHeight(double value) {
    QWidget* window = window_.data();
    const std::optional<int> px = toPixelSize(value - frameHeight_);
    if (!window || !px) return PropError::Refused;
    resizeClient(*window, QSize(window->width(), *px));
    return PropError::None;
}

void QtResizeForm::resizeClient(QWidget& window, const QSize& size) {
    auto* sub = qobject_cast<QMdiSubWindow*>(window.parentWidget());
    if (sub && sub->widget() == &window)
        sub->resize(sub->size() + (size - window.size()));
    else
        window.resize(size);
}

std::vector<std::shared_ptr<ResizeControl>> QtResizeForm::controls() {
    std::vector<std::shared_ptr<ResizeControl>> result;
    if (const QWidget* window = window_.data()) collectControls(window, result);
    return result;
}

}  // namespace meridan::ui
