#include "form_uebersicht.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTimer>

#include "layout.h"
#include "messages/texts.h"
#include "protocol/display.h"
#include "uisupport/clsresize.h"
#include "uisupport/listindex.h"
#include "uisupport/pointer.h"
#include "uisupport/qtresize.h"
#include "uisupport/shell.h"
#include "uisupport/twips.h"
#include "uisupport/windowicon.h"

namespace meridan {

namespace {

const QString ErrorTitle = QStringLiteral("Error");
// The overview's name as holder of the port.
const QString OwnerName = QStringLiteral("Overview");
const QString SaveQuestion = QStringLiteral("Save Settings?");

using ui::arial;

namespace L = overview_layout;

using ui::place;

QLabel* label(QWidget* parent, const L::Place& p, int index = -1) {
    auto* l = place(new QLabel(QString::fromUtf8(p.caption), parent), p, index);
    if (p.border) l->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    return l;
}

QGroupBox* frame(QWidget* parent, const L::Place& p, int index = -1) {
    return place(new QGroupBox(QString::fromUtf8(p.caption), parent), p, index);
}

template <typename Button>
Button* button(QWidget* parent, const L::Place& p, int index = -1) {
    return place(new Button(QString::fromUtf8(p.caption), parent), p, index);
}

const QString OutputRangeMessage =
    QStringLiteral("Output Frequency must be in the range 270 to 710MHz!");

Qt::CheckState checkState(int value) {
    if (value == 0) return Qt::Unchecked;
    if (value == 1) return Qt::Checked;
    return Qt::PartiallyChecked;  // greyed: 2, and values a check box cannot show
}

void setBoxValue(QCheckBox* box, int value) {
    box->setTristate(value != 0 && value != 1);
    box->setCheckState(checkState(value));
}

int boxValue(const QCheckBox* box) {
    switch (box->checkState()) {
        case Qt::Unchecked:
            return 0;
        case Qt::Checked:
            return 1;
        case Qt::PartiallyChecked:
            break;
    }
    return 2;
}

}  // namespace

Form_Uebersicht::Form_Uebersicht(Link& link, ProgramData& programData, MessageService& messages,
                                 ui::Shell& shell, QWidget* parent)
    : QWidget(parent), link_(link), data_(programData), messages_(messages), shell_(shell) {
    setObjectName(QStringLiteral("Form_Uebersicht"));
    setWindowTitle(QStringLiteral("Overview"));
    setFont(arial(8.25, false));
    resize(sizeHint());
    buildControls();
    // A new window holds no edits: whatever an earlier one left unsaved went with it.
    data_.DataChanged = false;
    for (auto& fields : edited_)
        fields.fill(true);

    // Load: resize engine, icon, the Program item, the dormant controls.
    resize_ = std::make_unique<ui::clsResize>();
    resize_->oForm(std::make_shared<ui::QtResizeForm>(this));
    ui::loadWindowIcon(this);
    shell_.setProgramMenuEnabled(false);
    Frame_Setting_Mode->hide();
    Frame_Startindex->hide();
    Command_Reload->hide();

    connect(qApp, &QApplication::focusChanged, this, &Form_Uebersicht::onFocusChanged);
}

Form_Uebersicht::~Form_Uebersicht() = default;

QSize Form_Uebersicht::sizeHint() const {
    return QSize(ui::twipsToPixels(ClientWidthTwips), ui::twipsToPixels(ClientHeightTwips));
}

void Form_Uebersicht::buildControls() {
    Label_Typ_Text = label(this, L::TypText);
    Label_Typ = label(this, L::Typ);
    Label_HW_Text = label(this, L::HwText);
    Label_HW_Version = label(this, L::HwVersion);
    Label_SW_Text = label(this, L::SwText);
    Label_SW_Version = label(this, L::SwVersion);
    Label_Serial_Text = label(this, L::SerialText);
    Label_Serial_Number = label(this, L::SerialNumber);
    Command_Save = button<QPushButton>(this, L::Save);
    Command_Reload = button<QPushButton>(this, L::Reload);
    Frame_Setting_Mode = frame(this, L::SettingMode);
    Frame_Startindex = frame(this, L::Startindex);
    Frame_Converters = frame(this, L::Converters);

    // Purple captions on the channel frames; their contents keep the usual colours, disabled
    // ones greyed as usual.
    QPalette purple = palette();
    purple.setColor(QPalette::WindowText, QColor(128, 0, 128));
    purple.setColor(QPalette::Text, QColor(128, 0, 128));
    QPalette plain = palette();
    for (const auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        for (const auto role : {QPalette::WindowText, QPalette::Text}) {
            plain.setColor(group, role, palette().color(group, role));
        }
    }

    for (int i = 0; i < ConverterCount; ++i) {
        const int col = i % L::ChannelsPerRow, row = i / L::ChannelsPerRow;
        auto* f =
            place(new QGroupBox(QString::fromUtf8(L::Channel.caption).arg(i + 1), Frame_Converters),
                  L::Channel, i, L::Channel.left + L::ChannelStepX * col,
                  L::Channel.top + L::ChannelStepY * row);
        f->setPalette(purple);
        FrameConverter[i] = f;

        Carrier_On[i] = button<QCheckBox>(f, L::CarrierOn, i);
        Frame_Input[i] = frame(f, L::Input, i);
        Frame_Output[i] = frame(f, L::Output, i);
        for (QWidget* w :
             {static_cast<QWidget*>(Carrier_On[i]), static_cast<QWidget*>(Frame_Input[i]),
              static_cast<QWidget*>(Frame_Output[i])}) {
            w->setPalette(plain);
        }

        QGroupBox* in = Frame_Input[i];
        Combo_Polarisation[i] = place(new QComboBox(in), L::Polarisation, i);
        // Up to as many digits as the upper bounds have: 2150 and 710.
        Text_infrequenz[i] = place(new FrequencyBox(4, in), L::InFreq, i);
        Label_In_MHz[i] = label(in, L::InMhz, i);
        Label_PLL_In[i] = label(in, L::PllIn, i);
        Label_Status_In[i] = label(in, L::StatusIn, i);
        Check_Gain[i] = button<QCheckBox>(in, L::Gain, i);

        QGroupBox* out = Frame_Output[i];
        Text_outfrequenz[i] = place(new FrequencyBox(3, out), L::OutFreq, i);
        Label_Out_MHz[i] = label(out, L::OutMhz, i);
        Label_PLL_Out[i] = label(out, L::PllOut, i);
        Label_Status_Out[i] = label(out, L::StatusOut, i);

        connectHandlers(i);
    }

    connect(Command_Save, &QPushButton::clicked, this, [this] { Command_Save_Click(); });

    const QList<QWidget*> order = tabOrder();
    for (qsizetype k = 1; k < order.size(); ++k)
        setTabOrder(order[k - 1], order[k]);
}

QList<QWidget*> Form_Uebersicht::tabOrder() const {
    QList<QWidget*> order;
    for (int i = 0; i < ConverterCount; ++i) {
        order << Combo_Polarisation[i] << Text_infrequenz[i] << Check_Gain[i]
              << Text_outfrequenz[i];
    }
    order << Command_Save;
    for (int i = 0; i < ConverterCount; ++i)
        order << Carrier_On[i];
    return order;
}

void Form_Uebersicht::connectHandlers(int i) {
    connect(Carrier_On[i], &QCheckBox::clicked, this, [this, i] { Carrier_On_Click(i); });
    connect(Check_Gain[i], &QCheckBox::clicked, this, [this, i] {
        Check_Gain[i]->setTristate(false);
        markEdited(i, ChannelField::Gain);
    });
    connect(Combo_Polarisation[i], &QComboBox::activated, this, [this, i](int index) {
        data_.unit.Polarisation[i] = static_cast<std::uint8_t>(index);
        markEdited(i, ChannelField::Polarisation);
    });
    connect(Text_infrequenz[i], &FrequencyBox::characterKey, this,
            [this, i] { markEdited(i, ChannelField::InFreq); });
    connect(Text_outfrequenz[i], &FrequencyBox::characterKey, this,
            [this, i] { markEdited(i, ChannelField::OutFreq); });
}

void Form_Uebersicht::markEdited(int channel, ChannelField field) {
    edited_[channel][static_cast<int>(field)] = true;
    data_.DataChanged = true;
}

bool Form_Uebersicht::edited(int channel, ChannelField field) const {
    return edited_[channel][static_cast<int>(field)];
}

void Form_Uebersicht::Carrier_On_Click(int i) {
    QCheckBox* box = Carrier_On[i];
    box->setTristate(false);
    const int v = boxValue(box);
    if (v == 0) {
        Combo_Polarisation[i]->setEnabled(false);
        Text_infrequenz[i]->setEnabled(false);
        Check_Gain[i]->setEnabled(false);
        Text_outfrequenz[i]->setEnabled(false);
    } else if (v == 1) {
        Combo_Polarisation[i]->setEnabled(true);
        Text_infrequenz[i]->setEnabled(true);
        Check_Gain[i]->setEnabled(true);
    }
    markEdited(i, ChannelField::Carrier);
}

// ---- activation, saving, closing -------------------------------------------------------------

void Form_Uebersicht::Form_Activate() {
    // A read or save is running (this activation came from its message loop): start nothing.
    if (state_ != State::Idle) return;
    Link::OwnerScope owner(link_, OwnerName);
    if (!owner.held()) {
        refuseWhilePortHeld();
        return;
    }
    Link::SequenceScope scope(link_);
    // Edits not yet written are offered for saving before the read replaces them.
    if (!askToSave() || closeAfterSequence_) {
        finishSequence();
        return;
    }
    resize_->Initialize();
    resize_->DoResize();
    for (QComboBox* combo : Combo_Polarisation) {
        const QSignalBlocker block(combo);
        combo->clear();
        combo->addItems({QStringLiteral("SAT 1"), QStringLiteral("SAT 2"), QStringLiteral("SAT 3"),
                         QStringLiteral("SAT 4")});
        ui::ModListindex(combo, 0);
    }
    fillLockText(data_.LockText);

    // Until the read puts the unit's values in them, the controls are sent as they stand.
    for (auto& fields : edited_)
        fields.fill(true);

    state_ = State::Reading;
    Command_Save->setEnabled(false);
    ui::setHourglass();
    // Edits made while the read runs stay edits.
    data_.DataChanged = false;
    read_unit_data_(link_, data_.unit, data_.LockText, *this);
    ui::setDefaultPointer();
    Command_Save->setEnabled(true);
    state_ = State::Idle;
    finishSequence();
}

SequenceResult Form_Uebersicht::Command_Save_Click() {
    if (state_ != State::Idle) return SequenceResult::Failed;
    // The value of a box the focus has just left, or is still in, is checked first.
    if (!runPendingValidation()) return SequenceResult::Refused;
    if (auto* box = qobject_cast<FrequencyBox*>(focusWidget()); box && !validate(box)) {
        return SequenceResult::Refused;
    }
    Link::OwnerScope owner(link_, OwnerName);
    if (!owner.held()) {
        refuseWhilePortHeld();
        return SequenceResult::Refused;
    }

    Link::SequenceScope scope(link_);
    state_ = State::Saving;
    ui::setHourglass();
    Command_Save->setEnabled(false);
    Command_Reload->setEnabled(false);
    QCoreApplication::processEvents();  // draw the disabled button before the write starts
    // The values are taken before the first byte; an edit made while the write runs is not
    // sent and stays to be saved.
    const bool changedBefore = data_.DataChanged;
    data_.DataChanged = false;
    const WriteOutcome out = set_unit_data_(link_, data_.unit, data_.LockText, *this);
    Command_Save->setEnabled(true);
    Command_Reload->setEnabled(true);
    // Only a save that reached the unit and was stored there leaves nothing unsaved.
    if (out.result != SequenceResult::Complete) data_.DataChanged |= changedBefore;
    state_ = State::Idle;
    ui::setDefaultPointer();
    if (out.result == SequenceResult::Refused && out.refused) {
        messages_.show(out.refused->message, ErrorTitle, MessageIcon::Critical, MessageButtons::Ok);
        focusField(out.refused->channel, out.refused->field);
    }
    finishSequence();
    return out.result;
}

void Form_Uebersicht::refuseWhilePortHeld() {
    // Nothing is read or written, and the user's edits stay.
    messages_.show(text::portInUseBy(link_.owner()), shell_.applicationTitle(),
                   MessageIcon::Information, MessageButtons::Ok);
}

bool Form_Uebersicht::askToSave() {
    if (!data_.DataChanged) return true;
    const MessageResult answer = messages_.show(SaveQuestion, shell_.applicationTitle(),
                                                MessageIcon::Question, MessageButtons::OkCancel);
    // Cancel: the edits are dropped, by the read that follows or with the closing window.
    if (answer != MessageResult::Ok) return true;
    // A save that did not reach the unit keeps the window and its edits.
    return Command_Save_Click() == SequenceResult::Complete;
}

void Form_Uebersicht::finishSequence() {
    // The window was closed while the unit was being read or written: it goes now that the
    // sequence has stopped.
    if (closeAfterSequence_) ui::closeChildWindowLater(this);
}

void Form_Uebersicht::closeEvent(QCloseEvent* event) {
    if (state_ != State::Idle) {
        // Stop the running sequence at its next wait; close once it has unwound.
        closeAfterSequence_ = true;
        link_.abort();
        event->ignore();
        return;
    }
    if (!closeAfterSequence_ && !link_.isShutDown() && !askToSave()) {
        event->ignore();  // the edits could not be sent: the window stays with them
        return;
    }
    shell_.setProgramMenuEnabled(true);
    data_.DataChanged = false;  // the edits go with the window
    event->accept();
}

void Form_Uebersicht::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if (resize_) resize_->DoResize();
}

void Form_Uebersicht::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (focusedOnce_) return;
    focusedOnce_ = true;
    for (QWidget* w : tabOrder()) {
        if (w->isEnabled()) {
            w->setFocus(Qt::OtherFocusReason);
            break;
        }
    }
}

// ---- validation ------------------------------------------------------------------------------

void Form_Uebersicht::onFocusChanged(QWidget* old, QWidget* now) {
    if (refocusing_ || !old || !now) return;
    auto* box = qobject_cast<FrequencyBox*>(old);
    if (!box || !isAncestorOf(box)) return;
    // Only a move to another control of this window is leaving the box; a message box, a
    // menu, another window or another program taking the focus is not.
    if (!isAncestorOf(now)) return;
    const int channel = box->property("Index").toInt();
    if (suspended_[channel]) return;
    pendingValidation_ = box;
    // Checked once the click or key that moved the focus has been handled, so the message
    // box does not open in the middle of a mouse press.
    QTimer::singleShot(0, this, [this] { runPendingValidation(); });
}

bool Form_Uebersicht::runPendingValidation() {
    QPointer<FrequencyBox> box = pendingValidation_;
    pendingValidation_ = nullptr;
    if (!box) return true;
    return validate(box);
}

bool Form_Uebersicht::validate(FrequencyBox* box) {
    const int channel = box->property("Index").toInt();
    const bool input = box == Text_infrequenz[channel];
    // A box that still shows what the unit reported goes back as it is: nothing to check.
    if (suspended_[channel] || !box->isEnabled() ||
        !edited(channel, input ? ChannelField::InFreq : ChannelField::OutFreq)) {
        return true;
    }
    const QString t = box->text();
    bool ok = false;
    bool valid = false;
    qint16 value = 0;
    if (input) {
        const int v = t.toInt(&ok);
        valid = !t.isEmpty() && ok && v >= InFreqMin && v <= InFreqMax;
        value = static_cast<qint16>(v);
    } else {
        const short v = t.toShort(&ok);
        valid = !t.isEmpty() && ok && v >= OutFreqMin && v <= OutFreqMax;
        value = v;
    }
    if (valid) {
        if (input) {
            data_.unit.InFreq[channel] = value;
        } else {
            data_.unit.OutFreq[channel] = static_cast<float>(value);
        }
        return true;
    }
    messages_.show(input ? inputRangeMessage() : OutputRangeMessage, ErrorTitle,
                   MessageIcon::Critical, MessageButtons::Ok);
    refocusing_ = true;
    box->setFocus(Qt::OtherFocusReason);
    refocusing_ = false;
    return false;
}

void Form_Uebersicht::focusField(int channel, ChannelField field) {
    // A field of a converter whose carrier is off takes no focus: its carrier box does.
    QWidget* w = Carrier_On[channel];
    switch (field) {
        case ChannelField::Polarisation:
            w = Combo_Polarisation[channel];
            break;
        case ChannelField::InFreq:
            w = Text_infrequenz[channel];
            break;
        case ChannelField::Gain:
            w = Check_Gain[channel];
            break;
        case ChannelField::OutFreq:
            w = Text_outfrequenz[channel];
            break;
        case ChannelField::Carrier:
            break;
    }
    if (!w->isEnabled()) w = Carrier_On[channel];
    refocusing_ = true;
    w->setFocus(Qt::OtherFocusReason);
    refocusing_ = false;
}

// ---- the unit view -------------------------------------------------------------------------

void Form_Uebersicht::showUnitText(UnitField field, const QString& text) {
    switch (field) {
        case UnitField::Type:
            Label_Typ->setText(text);
            break;
        case UnitField::HwVersion:
            Label_HW_Version->setText(text);
            break;
        case UnitField::SwVersion:
            Label_SW_Version->setText(text);
            break;
        case UnitField::SerialNo:
            Label_Serial_Number->setText(text);
            break;
    }
}

void Form_Uebersicht::setValidationSuspended(int channel, bool suspended) {
    suspended_[channel] = suspended;
}

void Form_Uebersicht::setFieldEnabled(int channel, ChannelField field, bool enabled) {
    switch (field) {
        case ChannelField::Polarisation:
            Combo_Polarisation[channel]->setEnabled(enabled);
            break;
        case ChannelField::InFreq:
            Text_infrequenz[channel]->setEnabled(enabled);
            break;
        case ChannelField::Gain:
            Check_Gain[channel]->setEnabled(enabled);
            break;
        case ChannelField::OutFreq:
            Text_outfrequenz[channel]->setEnabled(enabled);
            break;
        case ChannelField::Carrier:
            Carrier_On[channel]->setEnabled(enabled);
            break;
    }
}

void Form_Uebersicht::setCarrier(int channel, int value) {
    edited_[channel][static_cast<int>(ChannelField::Carrier)] = false;
    setBoxValue(Carrier_On[channel], value);
}

void Form_Uebersicht::selectPolarisation(int channel, int index) {
    edited_[channel][static_cast<int>(ChannelField::Polarisation)] = false;
    ui::ModListindex(Combo_Polarisation[channel], index);
}

void Form_Uebersicht::setInFreqText(int channel, const QString& text) {
    edited_[channel][static_cast<int>(ChannelField::InFreq)] = false;
    Text_infrequenz[channel]->showValue(text);
}

void Form_Uebersicht::setOutFreqText(int channel, const QString& text) {
    edited_[channel][static_cast<int>(ChannelField::OutFreq)] = false;
    Text_outfrequenz[channel]->showValue(text);
}

void Form_Uebersicht::setLockText(int channel, LockSide side, const QString& text) {
    (side == LockSide::Input ? Label_Status_In : Label_Status_Out)[channel]->setText(text);
}

void Form_Uebersicht::setGain(int channel, int value) {
    edited_[channel][static_cast<int>(ChannelField::Gain)] = false;
    setBoxValue(Check_Gain[channel], value);
}

int Form_Uebersicht::polarisationIndex(int channel) const {
    return Combo_Polarisation[channel]->currentIndex();
}

QString Form_Uebersicht::inFreqText(int channel) const {
    return Text_infrequenz[channel]->text();
}

int Form_Uebersicht::gainValue(int channel) const {
    return boxValue(Check_Gain[channel]);
}

int Form_Uebersicht::carrierValue(int channel) const {
    return boxValue(Carrier_On[channel]);
}

}  // namespace meridan
