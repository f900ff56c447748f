#pragma once

#include <QDateTime>
#include <QPointer>
#include <QWidget>
#include <array>
#include <memory>
#include <optional>
#include <variant>

#include "appstate/programdata.h"
#include "frequencybox.h"
#include "link/link.h"
#include "messages/messageservice.h"
#include "plan/profile.h"
#include "protocol/sequences.h"
#include "protocol/unitview.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QPushButton;

namespace meridan {

namespace ui {
class FieldMark;
class Shell;
class clsResize;
}  // namespace ui

// The overview window: the unit's type, versions and serial number, and its 12 converter
// channels, read from the unit each time the window becomes the active child window, edited
// in place and written back with Save.
//
// A value reaches the unit only if it came from the unit or from the user: a field the user
// did not change goes back as the last read that reached it reported it, raw; a converter
// that no read has reached is not sent at all (Save says so) unless the user set every field
// of it. Every change the user makes to a field, however it is made, is an edit.
class Form_Uebersicht : public QWidget, public UnitView {
    Q_OBJECT
  public:
    // The window's name as holder of the port.
    static const QString OwnerName;
    static constexpr int ClientWidthTwips = 15330;
    static constexpr int ClientHeightTwips = 10695;
    static constexpr int InFreqMin = InFreqMinMhz, InFreqMax = InFreqMaxMhz;
    static constexpr int OutFreqMin = 270, OutFreqMax = 710;

    Form_Uebersicht(Link& link, ProgramData& programData, MessageService& messages,
                    ui::Shell& shell, QWidget* parent = nullptr);
    ~Form_Uebersicht() override;

    enum class State { Idle, Reading, Saving };
    State state() const { return state_; }

    // The window became the active child window.
    void Form_Activate();
    // The Save button. Returns how the write ended.
    SequenceResult Command_Save_Click();

    // UnitView
    void showUnitText(UnitField field, const QString& text) override;
    void setValidationSuspended(int channel, bool suspended) override;
    void setFieldEnabled(int channel, ChannelField field, bool enabled) override;
    void setCarrier(int channel, int value) override;
    void selectPolarisation(int channel, int index) override;
    void setInFreqText(int channel, const QString& text) override;
    void setOutFreqText(int channel, const QString& text) override;
    void setLockText(int channel, LockSide side, const QString& text) override;
    void setGain(int channel, int value) override;
    int polarisationIndex(int channel) const override;
    QString inFreqText(int channel) const override;
    int gainValue(int channel) const override;
    int carrierValue(int channel) const override;
    bool edited(int channel, ChannelField field) const override;

    // Controls, by the names the unit's documentation uses.
    QLabel* Label_Typ_Text = nullptr;
    QLabel* Label_Typ = nullptr;
    QLabel* Label_HW_Text = nullptr;
    QLabel* Label_HW_Version = nullptr;
    QLabel* Label_SW_Text = nullptr;
    QLabel* Label_SW_Version = nullptr;
    QLabel* Label_Serial_Text = nullptr;
    QLabel* Label_Serial_Number = nullptr;
    QPushButton* Command_Save = nullptr;
    QPushButton* Command_Reload = nullptr;
    QGroupBox* Frame_Setting_Mode = nullptr;
    QGroupBox* Frame_Startindex = nullptr;
    QGroupBox* Frame_Converters = nullptr;
    std::array<QGroupBox*, ConverterCount> FrameConverter{};
    std::array<QCheckBox*, ConverterCount> Carrier_On{};
    std::array<QGroupBox*, ConverterCount> Frame_Input{};
    std::array<QComboBox*, ConverterCount> Combo_Polarisation{};
    std::array<FrequencyBox*, ConverterCount> Text_infrequenz{};
    std::array<QLabel*, ConverterCount> Label_In_MHz{};
    std::array<QLabel*, ConverterCount> Label_PLL_In{};
    std::array<QLabel*, ConverterCount> Label_Status_In{};
    std::array<QCheckBox*, ConverterCount> Check_Gain{};
    std::array<QGroupBox*, ConverterCount> Frame_Output{};
    std::array<FrequencyBox*, ConverterCount> Text_outfrequenz{};
    std::array<QLabel*, ConverterCount> Label_Out_MHz{};
    std::array<QLabel*, ConverterCount> Label_PLL_Out{};
    std::array<QLabel*, ConverterCount> Label_Status_Out{};

    // The designed client area, 15330 x 10695 twips.
    QSize sizeHint() const override;

    // The controls in tab order.
    QList<QWidget*> tabOrder() const;

    // Why Save would refuse to send: the converters no read has reached ("Converter 4 to 12
    // were not read from the unit: read again before saving"); empty when every one can go.
    QString notReadMessage() const;

    // How the last Save ended, or what an opened plan changed; its tool tip says it all.
    QLabel* Label_SaveStatus = nullptr;
    // The frame around a field whose value differs from the unit's (ChannelField::OutFreq
    // has none: it is never sent).
    ui::FieldMark* mark(int channel, ChannelField field) const;
    QWidget* control(int channel, ChannelField field) const;

    // Shows a plan (or a record of a unit) as the user's edits; nothing is sent until Save.
    // Edits not yet saved are replaced only once the user has said so: false when they stay.
    bool openPlan(const plan::Profile& plan, const QString& name);
    // The window's values as a record, as a Save would send them (what the unit reported
    // where nobody changed it, raw), or why there is none.
    std::variant<QByteArray, QString> planRecord();
    // The unit's type and serial number as a read found them; nullopt before any read has.
    std::optional<std::pair<QString, std::int32_t>> unitIdentity() const;

    // The whole unit, read now without touching the window's fields (for a report).
    struct UnitRead {
        UnitImage unit;
        MemoryUnitView view;
        QDateTime at;
    };
    // Nullopt when the read did not complete: `why` is empty when the link has said why.
    std::optional<UnitRead> readUnit(QString* why);

  protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private:
    void buildControls();
    void connectHandlers(int i);
    void Carrier_On_Click(int i);
    // The user changed a field's control: it is sent as it stands from now on.
    void markEdited(int channel, ChannelField field);
    // What a field not edited by the user sends: the plan's value, else the unit's.
    UnitImage sendBase() const;
    // Marks every sent field whose value differs from what the unit holds.
    void refreshMarks();
    void showSaveStatus(const QString& text, const QString& detail, int tone);
    // The Save's phases, with the port held: backup read and backup, write, read-back.
    struct SaveRun;
    void runSave(const ChannelSettings& settings, SaveRun& run);
    // The window after a Save: what the unit holds now, the status line, the marks.
    void showSaveOutcome(const ChannelSettings& settings, const SaveRun& run);
    // The unit as read back: lock states and output frequencies shown, the fields it did not
    // take kept as sent.
    void showReadBack(const ChannelSettings& settings, const SaveRun& run);
    // Range check of a frequency box the focus has left; false, after the message, when the
    // value is refused.
    bool validate(FrequencyBox* box);
    void onFocusChanged(QWidget* old, QWidget* now);
    bool runPendingValidation();
    void focusField(int channel, ChannelField field);
    bool askToSave();  // false: the user's edits could not be sent and stay
    // True, after saying so in the status bar, when another window's exchange holds the port.
    bool refuseWhilePortHeld();
    void finishSequence();
    // After a read: the fields it did not reach show (and send) what the last read that
    // reached them found, unless the user has changed them since.
    void keepUnreached();
    void showReported(int channel, ChannelField field);
    // Tells the user what the unit runs after a Save that did not complete.
    void tellUnitState(const WriteOutcome& out, bool stoppedByUser, const QString& backup);
    // The port is free again: a read refused meanwhile runs now, if the window is active.
    void onOwnerChanged(const QString& owner);

    Link& link_;
    ProgramData& data_;
    MessageService& messages_;
    ui::Shell& shell_;
    std::unique_ptr<ui::clsResize> resize_;
    std::array<bool, ConverterCount> suspended_{};
    using FieldFlags = std::array<std::array<bool, 5>, ConverterCount>;  // ChannelField order
    // The user has changed the field since a read put the unit's value in it.
    FieldFlags edited_{};
    // A read has reached the field at some time; `reported_` holds what the unit said then,
    // or what a stored Save sent since.
    FieldFlags everRead_{};
    // The read running now has reached the field.
    FieldFlags reached_{};
    UnitImage reported_;
    // Fields whose value comes from an opened plan (as planned_ holds it) until edited.
    FieldFlags fromPlan_{};
    UnitImage planned_;
    // Fields the unit did not take at the last Save; fields the user changed during a Save.
    FieldFlags notTaken_{};
    FieldFlags touched_{};
    // A read has reached the unit's type and serial number (they are in reported_).
    bool identified_ = false;
    bool serialReached_ = false;
    std::array<std::array<ui::FieldMark*, 5>, ConverterCount> marks_{};
    // An activation found the port held by another window: the read follows once it is free.
    bool readPending_ = false;
    QPointer<FrequencyBox> pendingValidation_;
    bool refocusing_ = false;
    bool closeAfterSequence_ = false;
    bool focusedOnce_ = false;
    State state_ = State::Idle;
};

}  // namespace meridan
