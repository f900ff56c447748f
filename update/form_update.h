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
class FileDialogs;
class Shell;
class clsResize;
}  // namespace ui

// "Update Utility": uploads a firmware image "VELNO_S*.bin" from the program's folder to a
// module of the headend, showing the state, the progress, an elapsed clock and a turning
// indicator. Toolbar buttons keep their 1-based indices: 3 Add File, 4 Update, 5 Expert,
// 7 Cancel, 8 Exit (1 and 2 have no action and are not shown). Keys, whenever the window is
// the active child window: F1 module check and update, F2 the same in expert mode (else the
// expert password), Esc ends the program.
class Form_Update : public QWidget {
    Q_OBJECT
  public:
    static constexpr int ClientWidthTwips = 15330;
    static constexpr int ClientHeightTwips = 10695;
    static constexpr int TimerIntervalMs = 100;

    Form_Update(Link& link, ProgramData& programData, MessageService& messages, ui::Shell& shell,
                ui::FileDialogs& fileDialogs, const QString& programFolder,
                QWidget* parent = nullptr);
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
    // The elapsed clock: back to 0:00:00; started (reference tick taken, timer on); stopped.
    void resetClock();
    void startClock();
    void stopClock();
    // Add File, Update, Expert and Exit enabled, Cancel disabled.
    void toolbarIdle();

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
    // True, after saying so, when another window's sequence holds the port.
    bool refuseWhilePortHeld(const Link::OwnerScope& owner);
    bool askPassword();
    // Gives the keyboard focus to the file name box unless a control of the window has it, so
    // the window's keys reach it.
    void takeFocus();
    // The same once a dialog of this window has closed.
    void keyboardBack();

    Link& link_;
    ProgramData& data_;
    MessageService& messages_;
    ui::Shell& shell_;
    ui::FileDialogs& fileDialogs_;
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
