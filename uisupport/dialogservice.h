#pragma once

#include <QList>
#include <QPointer>
#include <QString>
#include <functional>

#include <QWidget>

#include "messages/messageservice.h"

class QDialog;

namespace meridan::ui {

class FileDialogs;

// Every modal dialog of the windows opens here: message boxes, the open-file dialog and the
// program's own dialogs (the expert password, the image choice). Two rules hold for all of
// them, in this one place:
//
// - No modal dialog opens inside the wait of a running exchange with the unit: its nested
//   event loop would hold the exchange up for as long as the dialog is open (a firmware
//   module drops an update after a pause, a monitor takes the hold-up for the unit's
//   silence). A box that only informs is said in the status bar at once and shown as a box
//   once the exchange has ended. Anything that needs an answer must not be asked then: the
//   callers refuse first; one that asks anyway is a fault of the program, reported to the
//   fault handler (tests fail on it) and shown as before.
// - When a dialog closes, the keyboard goes back to the window that had it. A window
//   manager usually does that; without one (or with one that does not) the keys of the
//   window (F1, F2, Esc) would go nowhere.
class DialogService final : public MessageService {
  public:
    explicit DialogService(MessageService& boxes);

    // Whether an exchange with the unit is waiting now, so no dialog may open.
    void setExchangeProbe(std::function<bool()> waiting) { waiting_ = std::move(waiting); }
    // Where a box held back for a running exchange is said at once (the status bar).
    void setNoticeSink(std::function<void(const QString&)> sink) { notice_ = std::move(sink); }
    // Told of a dialog that was opened inside an exchange's wait anyway.
    void setFaultHandler(std::function<void(const QString&)> fault) { fault_ = std::move(fault); }
    void setFileDialogs(FileDialogs* dialogs) { fileDialogs_ = dialogs; }
    // The window that gets the keyboard after a dialog when no window had it before.
    void setHomeWindow(QWidget* window) { home_ = window; }

    MessageResult show(const QString& text, const QString& title, MessageIcon icon,
                       MessageButtons buttons) override;
    void restoreCursor() override { boxes_.restoreCursor(); }

    // Runs one of the program's dialogs modally; its result code.
    int exec(QDialog& dialog);
    // The open-file dialog: the chosen file, or empty when cancelled.
    QString getOpenFileName(QWidget* parent, const QString& title, const QString& filter,
                            const QString& initialName);
    // The save-file dialog: the name chosen, or empty when cancelled.
    QString getSaveFileName(QWidget* parent, const QString& title, const QString& filter,
                            const QString& initialPath);

    // The exchange has ended: the boxes held back for it are shown now, in order.
    void showHeldBack();
    bool exchangeWaiting() const { return waiting_ && waiting_(); }
    int heldBack() const { return int(held_.size()); }

  private:
    // False, after reporting the fault, when `what` would open inside an exchange's wait.
    bool mayOpen(const QString& what);

    struct Held {
        QString text;
        QString title;
        MessageIcon icon;
    };
    MessageService& boxes_;
    FileDialogs* fileDialogs_ = nullptr;
    QPointer<QWidget> home_;
    std::function<bool()> waiting_;
    std::function<void(const QString&)> notice_;
    std::function<void(const QString&)> fault_;
    QList<Held> held_;
    bool showing_ = false;
};

}  // namespace meridan::ui
