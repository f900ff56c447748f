#include "dialogservice.h"

#include <QApplication>
#include <QDialog>
#include <QPointer>
#include <QWidget>
#include <QtGlobal>
#include <algorithm>

#include "filedialogs.h"

namespace meridan::ui {

namespace {

// Notes which window has the keyboard, and which of its controls, before a dialog opens;
// gives both back once it has closed, unless another window has taken the keyboard since.
class KeyboardBack {
  public:
    // `home`: the window that gets the keyboard when none has it as the dialog opens (one
    // dialog closing right before another opens leaves it with nobody for a moment).
    explicit KeyboardBack(QWidget* home)
        : window_(QApplication::activeWindow() ? QApplication::activeWindow() : home),
          focus_(QApplication::focusWidget()) {
        if (!focus_ && window_) focus_ = window_->focusWidget();
    }
    ~KeyboardBack() { giveBack(window_.data(), focus_.data()); }
    KeyboardBack(const KeyboardBack&) = delete;
    KeyboardBack& operator=(const KeyboardBack&) = delete;

  private:
    static void giveBack(QWidget* window, QWidget* focus) {
        if (window == nullptr || !window->isVisible()) return;
        QWidget* active = QApplication::activeWindow();
        if (active != nullptr && active != window) return;
        if (active == nullptr) window->activateWindow();
        if (focus != nullptr && focus->window() == window && focus->isVisible() &&
            focus->isEnabled()) {
            focus->setFocus(Qt::ActiveWindowFocusReason);
        }
    }

    QPointer<QWidget> window_;
    QPointer<QWidget> focus_;
};

}  // namespace

DialogService::DialogService(MessageService& boxes) : boxes_(boxes) {}

bool DialogService::mayOpen(const QString& what) {
    if (!exchangeWaiting()) return true;
    const QString fault =
        QStringLiteral("A dialog opened while an exchange with the unit waits: %1").arg(what);
    if (fault_) {
        fault_(fault);
    } else {
        qWarning("%s", qPrintable(fault));
    }
    return false;
}

MessageResult DialogService::show(const QString& text, const QString& title, MessageIcon icon,
                                  MessageButtons buttons) {
    if (exchangeWaiting() && buttons == MessageButtons::Ok) {
        // Said now, shown when the exchange has ended; the same box once.
        const bool again = std::any_of(held_.cbegin(), held_.cend(), [&](const Held& h) {
            return h.text == text && h.title == title;
        });
        if (!again) held_.append({text, title, icon});
        if (notice_) notice_(QString(text).replace(QLatin1Char('\r'), QLatin1Char(' ')));
        return MessageResult::Ok;
    }
    mayOpen(QStringLiteral("\"%1\"").arg(text));
    const KeyboardBack back(home_);
    return boxes_.show(text, title, icon, buttons);
}

int DialogService::exec(QDialog& dialog) {
    mayOpen(dialog.windowTitle());
    const KeyboardBack back(home_);
    return dialog.exec();
}

QString DialogService::getOpenFileName(QWidget* parent, const QString& title, const QString& filter,
                                       const QString& initialName) {
    mayOpen(title);
    const KeyboardBack back(home_);
    if (fileDialogs_) return fileDialogs_->getOpenFileName(parent, title, filter, initialName);
    QtFileDialogs dialogs;
    return dialogs.getOpenFileName(parent, title, filter, initialName);
}

QString DialogService::getSaveFileName(QWidget* parent, const QString& title, const QString& filter,
                                       const QString& initialPath) {
    mayOpen(title);
    const KeyboardBack back(home_);
    if (fileDialogs_) return fileDialogs_->getSaveFileName(parent, title, filter, initialPath);
    QtFileDialogs dialogs;
    return dialogs.getSaveFileName(parent, title, filter, initialPath);
}

void DialogService::showHeldBack() {
    // One at a time, in order; a box held back while these are shown waits its turn.
    if (showing_) return;
    showing_ = true;
    while (!held_.isEmpty() && !exchangeWaiting()) {
        const Held h = held_.takeFirst();
        const KeyboardBack back(home_);
        boxes_.show(h.text, h.title, h.icon, MessageButtons::Ok);
    }
    showing_ = false;
}

}  // namespace meridan::ui
