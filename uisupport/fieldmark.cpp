#include "fieldmark.h"

#include <QEvent>
#include <QPainter>

namespace meridan::ui {

FieldMark::FieldMark(QWidget* target) : QWidget(target->parentWidget()), target_(target) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
    target->installEventFilter(this);
    hide();
}

void FieldMark::mark(const QColor& colour) {
    colour_ = colour;
    follow();
    update();
}

bool FieldMark::eventFilter(QObject* watched, QEvent* event) {
    if (watched == target_) {
        switch (event->type()) {
            case QEvent::Move:
            case QEvent::Resize:
            case QEvent::Show:
            case QEvent::Hide:
                follow();
                break;
            default:
                break;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void FieldMark::follow() {
    const QWidget* target = target_.data();
    if (target == nullptr) return;
    setGeometry(target->geometry().adjusted(-Margin, -Margin, Margin, Margin));
    const bool shown = marked() && !target->isHidden();
    setVisible(shown);
    if (shown) raise();
}

void FieldMark::paintEvent(QPaintEvent*) {
    if (!marked()) return;
    QPainter p(this);
    QPen pen(colour_, 2);
    pen.setJoinStyle(Qt::MiterJoin);
    p.setPen(pen);
    p.drawRect(QRectF(rect()).adjusted(1, 1, -1, -1));
}

}  // namespace meridan::ui
