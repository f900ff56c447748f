#pragma once

#include <QWidget>
#include <array>
#include <functional>
#include <memory>
#include <optional>

#include "link/link.h"
#include "messages/messageservice.h"
#include "protocol/monitor.h"
#include "uisupport/lockstrip.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QTimer;

namespace meridan {

namespace ui {
class Shell;
class clsResize;
}  // namespace ui

// "Diagnostic": the input and output PLL lock of the converters, live, while the installer
// turns the dish. Start reads the locks round after round (all twelve converters, or one for
// the fastest refresh) until Stop; each state shows in colour (Locked green, Unlocked red,
// Unknown grey, the value the unit sent as a tool tip) with the time it last changed; "-"
// until the unit has answered for it. While the unit is silent the states it last sent are
// greyed: they are no longer known to hold. With the audible signal on, every change of the
// chosen converter's input lock beeps. Beside each row a strip draws that converter's input
// lock (and its output lock when the monitor reads it) over the last minute: green locked, red
// unlocked, grey unknown, light grey while not read.
class Form_Diagnostic : public QWidget, private MonitorObserver {
    Q_OBJECT
  public:
    static constexpr int ClientWidthTwips = 15330;
    static constexpr int ClientHeightTwips = 10695;
    // The window's name as holder of the port.
    static const QString OwnerName;

    // How a lock state is shown.
    enum class Shown { NotRead, Unknown, Unlocked, Locked, Stale };
    static Shown shownFor(std::optional<std::uint8_t> value);
    // Its background colour.
    static QColor colour(Shown shown);

    Form_Diagnostic(Link& link, MessageService& messages, ui::Shell& shell,
                    QWidget* parent = nullptr);
    ~Form_Diagnostic() override;

    QSize sizeHint() const override;

    // Start: runs the monitor until Stop, or the window closes.
    void Command_Start_Click();
    void Command_Stop_Click();
    bool running() const { return busy_; }
    // What sounds the audible signal (QApplication::beep unless told otherwise).
    void setBeeper(std::function<void()> beep) { beep_ = std::move(beep); }

    QGroupBox* Frame_Locks = nullptr;
    QGroupBox* Frame_Monitor = nullptr;
    QGroupBox* Frame_State = nullptr;
    std::array<QLabel*, ConverterCount> Label_Converter{};
    std::array<QLabel*, ConverterCount> Label_Status_In{};
    std::array<QLabel*, ConverterCount> Label_Status_Out{};
    std::array<QLabel*, ConverterCount> Label_Changed{};
    std::array<ui::LockStrip*, ConverterCount> LockStrip_In{};
    std::array<ui::LockStrip*, ConverterCount> LockStrip_Out{};
    QComboBox* Combo_Converter = nullptr;  // 0: all converters; n: converter n
    QCheckBox* Check_OutputLock = nullptr;
    QCheckBox* Check_Beep = nullptr;
    QPushButton* Command_Start = nullptr;
    QPushButton* Command_Stop = nullptr;
    QLabel* Label_Rate = nullptr;
    QLabel* Label_State = nullptr;
    QLabel* Label_Owner = nullptr;

  protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    void buildControls();
    // MonitorObserver
    void round(const MonitorRound& round) override;
    void silent(double since) override;
    void reconnected() override;

    MonitorChoice choice() const;
    // A lock state as the unit sent it; `stale`: sent before the unit fell silent.
    void showLock(QLabel* label, std::optional<std::uint8_t> value, bool stale = false);
    void showNotRead(QLabel* label, const QString& tip);
    void showState(const QString& text, bool alarm);
    void showOwner();
    // The lock histories: every lock not read from `time` on is stale; the strips redrawn.
    void historiesStale(double time);
    void redrawStrips();
    // Start, Stop and the choices as the monitor's state and the port's owner allow.
    void enableControls();

    Link& link_;
    MessageService& messages_;
    ui::Shell& shell_;
    LockMonitor monitor_;
    std::unique_ptr<ui::clsResize> resize_;
    std::function<void()> beep_;
    MonitorChoice running_;
    // What each label shows (input, output), to grey it while the unit is silent.
    std::array<std::optional<std::uint8_t>, ConverterCount> lastIn_{}, lastOut_{};
    double rateShownAt_ = -1;
    std::array<ui::LockHistory, ConverterCount> inHistory_, outHistory_;
    double historyTime_ = 0;  // the latest time added to a history
    double stripsDrawnAt_ = -1;
    QTimer* stripTimer_ = nullptr;
    bool busy_ = false;
    bool stopping_ = false;
    bool closeAfterSequence_ = false;
};

}  // namespace meridan
