#include "frequencybox.h"

#include <QClipboard>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QStyle>
#include <QStyleOptionFrame>

namespace meridan {

namespace {
bool isDigit(QChar c) {
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

// Keys that deliver a character to the box, as opposed to navigation and editing keys.
bool isCharacterKey(const QKeyEvent* e) {
    if (e->key() == Qt::Key_Delete) return false;
    if (!e->text().isEmpty()) return true;
    // Ctrl+letter types a control character even where the platform reports no text.
    return (e->modifiers() & Qt::ControlModifier) && e->key() >= Qt::Key_A && e->key() <= Qt::Key_Z;
}
}  // namespace

FrequencyBox::FrequencyBox(int maxDigits, QWidget* parent)
    : QLineEdit(parent), maxDigits_(maxDigits) {
    setAcceptDrops(false);
    connect(this, &QLineEdit::textChanged, this, &FrequencyBox::updateToolTip);
}

void FrequencyBox::showValue(const QString& value) {
    setText(value);
    setCursorPosition(0);
}

void FrequencyBox::updateToolTip() {
    // The room QLineEdit draws the text in: its contents less a margin of 2 on each side, and
    // the text needs one pixel and the caret's width beside it.
    QStyleOptionFrame option;
    initStyleOption(&option);
    const QRect contents = style()->subElementRect(QStyle::SE_LineEditContents, &option, this);
    const int room = contents.width() - textMargins().left() - textMargins().right() - 2 * 2;
    const int needed = fontMetrics().horizontalAdvance(text()) + 1 +
                       style()->pixelMetric(QStyle::PM_TextCursorWidth, &option, this);
    QStringList tip;
    if (needed > room) tip << text();
    if (!note_.isEmpty()) tip << note_;
    setToolTip(tip.join(QLatin1Char('\n')));
}

void FrequencyBox::setNote(const QString& note) {
    note_ = note;
    updateToolTip();
}

void FrequencyBox::resizeEvent(QResizeEvent* e) {
    QLineEdit::resizeEvent(e);
    updateToolTip();
}

void FrequencyBox::changeEvent(QEvent* e) {
    QLineEdit::changeEvent(e);
    if (e->type() == QEvent::FontChange || e->type() == QEvent::StyleChange) updateToolTip();
}

bool FrequencyBox::takesDigit() const {
    return text().size() < maxDigits_ || selectedText() == text();
}

void FrequencyBox::typeText(const QString& typed) {
    for (QChar c : typed) {
        if (isDigit(c) && takesDigit()) insert(QString(c));
    }
}

void FrequencyBox::pasteClipboard() {
    if (isReadOnly()) return;
    typeText(QGuiApplication::clipboard()->text());
}

void FrequencyBox::keyPressEvent(QKeyEvent* e) {
    if (e->matches(QKeySequence::Paste)) {
        pasteClipboard();
        e->accept();
        Q_EMIT characterKey();
        return;
    }
    if (e->key() == Qt::Key_Backspace) {
        QLineEdit::keyPressEvent(e);
        Q_EMIT characterKey();
        return;
    }
    if (!isCharacterKey(e)) {
        QLineEdit::keyPressEvent(e);
        return;
    }
    const QString t = e->text();
    if (t.size() == 1 && isDigit(t[0]) && takesDigit() &&
        !(e->modifiers() & (Qt::ControlModifier | Qt::AltModifier))) {
        QLineEdit::keyPressEvent(e);
    } else {
        e->accept();  // discarded
    }
    Q_EMIT characterKey();
}

void FrequencyBox::focusInEvent(QFocusEvent* e) {
    QLineEdit::focusInEvent(e);
    selectAll();
    focusClick_ = e->reason() == Qt::MouseFocusReason;
}

void FrequencyBox::focusOutEvent(QFocusEvent* e) {
    focusClick_ = false;
    QLineEdit::focusOutEvent(e);
}

void FrequencyBox::mousePressEvent(QMouseEvent* e) {
    // The click that brings the focus keeps the whole value selected instead of placing the
    // caret, so that typing replaces the value; the next click places the caret.
    if (focusClick_ && e->button() == Qt::LeftButton) {
        e->accept();
        return;
    }
    focusClick_ = false;
    QLineEdit::mousePressEvent(e);
}

void FrequencyBox::mouseMoveEvent(QMouseEvent* e) {
    if (focusClick_) {
        e->accept();  // a hand that shakes while clicking does not shrink the selection
        return;
    }
    QLineEdit::mouseMoveEvent(e);
}

void FrequencyBox::contextMenuEvent(QContextMenuEvent* e) {
    QMenu* menu = createStandardContextMenu();
    const QString pasteText = QLineEdit::tr("&Paste");
    for (QAction* a : menu->actions()) {
        if (a->text().startsWith(pasteText)) {
            a->disconnect(this);
            connect(a, &QAction::triggered, this, [this] {
                pasteClipboard();
                Q_EMIT characterKey();
            });
        }
    }
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(e->globalPos());
}

void FrequencyBox::mouseReleaseEvent(QMouseEvent* e) {
    if (focusClick_ && e->button() == Qt::LeftButton) {
        focusClick_ = false;
        e->accept();
        return;
    }
    // Middle-click pastes the X11 selection: filtered like any other paste.
    if (e->button() == Qt::MiddleButton && QGuiApplication::clipboard()->supportsSelection()) {
        if (!isReadOnly()) {
            typeText(QGuiApplication::clipboard()->text(QClipboard::Selection));
            Q_EMIT characterKey();
        }
        e->accept();
        return;
    }
    QLineEdit::mouseReleaseEvent(e);
}

}  // namespace meridan
