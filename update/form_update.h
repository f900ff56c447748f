#pragma once

#include <QPointer>
#include <QWidget>
#include <array>
#include <functional>
#include <memory>

#include "appstate/programdata.h"
#include "elapsedclock.h"
#include "link/link.h"
#include "messages/messageservice.h"
#include "protocol/firmware.h"
#include "updatepresenter.h"

class QAction;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTimer;
class QToolBar;

namespace meridan {

namespace ui {
class ActivityInd;
class DialogService;
class Shell;
class clsResize;
}  // namespace ui

// "Update Utility": uploads a firmware image "VELNO_S*.bin" from the program's folder to a
// module of the headend, showing the state, the progress, an elapsed clock and a turning
// indicator. Toolbar buttons keep their 1-based indices: 3 Add File, 4 Update, 5 Expert,
// 7 Cancel, 8 Exit (1 and 2 have no action and are not shown); Alt+A, Alt+U, Alt+E and Alt+X
// press 3, 4, 5 and 8. Keys, whenever the window is the active child window: F1 module check
// and update, F2 the same in expert mode (else the expert password), Esc ends the program.
//
// The image is chosen when an update starts (in expert mode the user picks it then) and read
// whole: every automatic restart sends those bytes. While an update or a module check runs, or
// another window's exchange with the unit, nothing here opens a dialog: the expert password
// and Add File say in the status bar why they wait.
class Form_Update : public QWidget {
    Q_OBJECT
  public:
    // The window's name as holder of the port.
    static const QString OwnerName;
    static constexpr int ClientWidthTwips = 15330;
    static constexpr int ClientHeightTwips = 10695;
    static constexpr int TimerIntervalMs = 100;

    Form_Update(Link& link, ProgramData& programData, ui::DialogService& dialogs, ui::Shell& shell,
                const QString& programFolder, QWidget* parent = nullptr);
    ~Form_Update() override;

    QSize sizeHint() const override;

    // The window became the active child window.
    void Form_Activate();
    void Toolbar1_ButtonClick(int index);
    // F1, F2, Esc, whichever control has the focus.
    void Form_KeyDown(int key);
    void Timer1_Timer();
    // The tick count the clock runs on, in milliseconds (wrapping at 32 bits).
    void setTickSource(std::function<std::uint32_t()> ticks) { ticks_ = std::move(ticks); }

    QAction* button(int index) const { return buttons_[index - 1]; }
    bool busy() const { return busy_; }
    FirmwareTransfer& transfer() { return transfer_; }
    const ElapsedClock& clock() const { return clock_; }
    ElapsedClock& clock() { return clock_; }

    // The image to send: the newest, or the user's choice in expert mode. May ask the user
    // only when mayAsk is true. Empty when there is none.
    QString SelectFirmwareFile(bool mayAsk);
    // The image an update started now sends.
    const QString& chosenImage() const { return data_.FirmwareFile; }
    // The image an update is sending (its path, size and sectors shown), or, with an empty
    // path, none: the chosen image's size is shown again.
    void showImageSent(const QString& path, qint64 bytes, int sectors);
    // The elapsed clock: back to 0:00:00; started (reference tick taken, timer on); stopped.
    void resetClock();
    void startClock();
    void stopClock();
    // Add File, Update, Expert and Exit enabled, Cancel disabled.
    void toolbarIdle();
    // Keeps, for the commissioning report, the image an update sends (once its first attempt
    // begins to send), then how the update ended.
    void recordImageSending();
    void recordImageSent(const QString& result);

    QToolBar* Toolbar1 = nullptr;
    QGroupBox* Frame1 = nullptr;
    QLabel* Label_title = nullptr;
    QLabel* Label_englisch = nullptr;
    QLabel* Label_deutsch = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* lblZeit = nullptr;
    QProgressBar* ProgressBar1 = nullptr;
    ui::ActivityInd* Activity1 = nullptr;
    QLabel* Label_Type = nullptr;
    QLineEdit* Text_Filename = nullptr;
    // The size of the image named above; during an update, the image being sent.
    QLabel* Label_Image = nullptr;
    QPushButton* Command1 = nullptr;
    QTimer* Timer1 = nullptr;

  protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private:
    void buildControls();
    void startUpdate();
    void moduleCheck();
    void expertLogin();
    void addFile();
    void finishSequence();
    // True, after saying so in the status bar, when another window's exchange holds the port.
    bool refuseWhilePortHeld();
    // True, after saying so, when `what` would open a dialog inside an exchange's wait: this
    // window's update or check, or another window's exchange.
    bool refuseDialogNow(const QString& what);
    // The image chosen for an update about to start, asking in expert mode.
    void chooseImageToSend();
    void showChosenSize();
    bool askPassword();
    // Gives the keyboard focus to the file name box unless a control of the window has it, so
    // the window's keys reach it.
    void takeFocus();

    Link& link_;
    ProgramData& data_;
    ui::DialogService& dialogs_;
    MessageService& messages_;
    ui::Shell& shell_;
    QString folder_;
    UpdatePresenter presenter_;
    FirmwareTransfer transfer_;
    std::unique_ptr<ui::clsResize> resize_;
    std::array<QAction*, 8> buttons_{};
    ElapsedClock clock_;
    std::function<std::uint32_t()> ticks_;
    bool busy_ = false;
    bool closeAfterSequence_ = false;
};

}  // namespace meridan
