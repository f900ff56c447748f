#pragma once

#include <QString>

#include "messages/messageservice.h"
#include "protocol/firmware.h"

namespace meridan {

class Form_Update;
namespace ui {
class Shell;
}

// Shows a firmware transfer in the update window, in English and German: the state word and
// its colour, the two instruction lines, the progress bar and percentage, the elapsed clock,
// the indicator's colour, the mouse pointer and status panel 2 of the main window; tells the
// user how an update failed. A cancel pressed during the transfer takes effect at its next
// restart, and the window says so until then.
class UpdatePresenter final : public TransferObserver {
  public:
    UpdatePresenter(Form_Update& window, ui::Shell& shell, MessageService& messages);

    void phaseChanged(TransferPhase phase, const TransferStatus& status) override;
    void progress(const TransferProgress& progress) override;
    void finished(TransferOutcome outcome, const QString& detail) override;
    bool cancelRequested() override { return cancel_; }
    QString chooseImage(bool mayAsk) override;

    // A transfer or check begins: an earlier cancel does not stop it.
    void begin();
    // Cancel on the toolbar.
    void requestCancel();
    // The idle state: "Ready", the idle instruction lines, progress 0, indicator green,
    // toolbar in its idle arrangement, default pointer, status panel 2 empty.
    void showReady();
    // The state word and the instruction lines the window opens with.
    void showIdleTexts();

  private:
    enum class Colour { Black, Red, Green };
    void showTitle(const QString& text, Colour colour);
    void showInstructions(const QString& english, const QString& german);
    void setStatusPanel(const QString& text);
    void setPercent(const QString& text);
    void endInReady();
    // A cancel the transfer will honour only at its next restart.
    bool cancelPending() const { return cancel_ && busy_; }

    Form_Update& window_;
    ui::Shell& shell_;
    MessageService& messages_;
    bool cancel_ = false;
    bool busy_ = false;
    // Past the start handshake: running, or waiting to restart.
    bool sending_ = false;
    // Some of the image went out in this update.
    bool sentAny_ = false;
};

}  // namespace meridan
