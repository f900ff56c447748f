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
const QString SaveQuestion = QStringLiteral("Save Settings?");

using ui::arial;

template <typename W>
W* make(QWidget* parent, const char* name, int index, double left, double top, double width,
        double height, const QFont& font) {
    return ui::place(new W(parent), name, index, left, top, width, height, font);
}

QLabel* label(QWidget* parent, const char* name, int index, const QString& caption, double left,
              double top, double width, double height, const QFont& font, bool border = false) {
    auto* l = make<QLabel>(parent, name, index, left, top, width, height, font);
    l->setText(caption);
    if (border) l->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    return l;
}

QGroupBox* frame(QWidget* parent, const char* name, int index, const QString& caption, double left,
                 double top, double width, double height, const QFont& font) {
    auto* g = make<QGroupBox>(parent, name, index, left, top, width, height, font);
    g->setTitle(caption);
    return g;
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
    const QFont big = arial(12, true);
    const QFont small = arial(8.25, true);
    Label_Typ_Text =
        label(this, "Label_Typ_Text", -1, QStringLiteral("Typ:"), 180, 120, 525, 285, big);
    Label_Typ = label(this, "Label_Typ", -1, QString(), 840, 120, 1620, 345, big, true);
    Label_HW_Text =
        label(this, "Label_HW_Text", -1, QStringLiteral("HW-Version:"), 180, 600, 1455, 285, big);
    Label_HW_Version =
        label(this, "Label_HW_Version", -1, QString(), 1800, 600, 855, 345, big, true);
    Label_SW_Text =
        label(this, "Label_SW_Text", -1, QStringLiteral("SW-Version:"), 180, 1080, 1440, 285, big);
    Label_SW_Version =
        label(this, "Label_SW_Version", -1, QString(), 1800, 1080, 855, 345, big, true);
    Label_Serial_Text = label(this, "Label_Serial_Text", -1, QStringLiteral("Serial-No:"), 180,
                              1560, 1140, 285, big);
    Label_Serial_Number =
        label(this, "Label_Serial_Number", -1, QString(), 1800, 1560, 855, 345, big, true);

    Command_Save = make<QPushButton>(this, "Command_Save", -1, 13320, 240, 975, 375, small);
    Command_Save->setText(QStringLiteral("Save"));
    Command_Reload = make<QPushButton>(this, "Command_Reload", -1, 13320, 780, 975, 375, small);
    Command_Reload->setText(QStringLiteral("Reload"));
    Frame_Setting_Mode = frame(this, "Frame_Setting_Mode", -1, QStringLiteral("Setting Mode:"),
                               3540, 420, 1695, 1275, small);
    Frame_Startindex = frame(this, "Frame_Startindex", -1, QStringLiteral("StartIndex:"), 5460, 420,
                             1275, 1275, small);
    Frame_Converters =
        frame(this, "Frame_Converters", -1, QString(), 180, 1980, 14235, 8655, font());

    const QFont caption = arial(9.75, true);
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
        const int col = i % 6, row = i / 6;
        QGroupBox* f =
            frame(Frame_Converters, "FrameConverter", i, QStringLiteral("Converter %1").arg(i + 1),
                  120 + 2340 * col, 240 + 4200 * row, 2295, 4095, caption);
        f->setPalette(purple);
        FrameConverter[i] = f;

        Carrier_On[i] = make<QCheckBox>(f, "Carrier_On", i, 1380, 180, 735, 255, big);
        Carrier_On[i]->setText(QStringLiteral("ON"));
        Frame_Input[i] =
            frame(f, "Frame_Input", i, QStringLiteral("Input:"), 120, 420, 2055, 2235, small);
        Frame_Output[i] =
            frame(f, "Frame_Output", i, QStringLiteral("Output:"), 120, 2640, 2055, 1335, small);
        for (QWidget* w :
             {static_cast<QWidget*>(Carrier_On[i]), static_cast<QWidget*>(Frame_Input[i]),
              static_cast<QWidget*>(Frame_Output[i])}) {
            w->setPalette(plain);
        }

        QGroupBox* in = Frame_Input[i];
        Combo_Polarisation[i] =
            make<QComboBox>(in, "Combo_Polarisation", i, 120, 300, 1815, 405, big);
        // Up to as many digits as the upper bounds have: 2150 and 710.
        Text_infrequenz[i] =
            ui::place(new FrequencyBox(4, in), "Text_infrequenz", i, 120, 840, 855, 330, big);
        Label_In_MHz[i] =
            label(in, "Label_In_MHz", i, QStringLiteral("MHz"), 1020, 900, 510, 285, big);
        Label_PLL_In[i] =
            label(in, "Label_PLL_In", i, QStringLiteral("PLL:"), 120, 1320, 555, 255, big);
        Label_Status_In[i] =
            label(in, "Label_Status_In", i, QString(), 720, 1320, 1155, 345, big, true);
        Check_Gain[i] = make<QCheckBox>(in, "Check_Gain", i, 60, 1800, 975, 255, big);
        Check_Gain[i]->setText(QStringLiteral("Gain:"));

        QGroupBox* out = Frame_Output[i];
        Text_outfrequenz[i] =
            ui::place(new FrequencyBox(3, out), "Text_outfrequenz", i, 120, 360, 855, 330, big);
        Label_Out_MHz[i] =
            label(out, "Label_Out_MHz", i, QStringLiteral("MHz"), 1020, 420, 510, 285, big);
        Label_PLL_Out[i] =
            label(out, "Label_PLL_Out", i, QStringLiteral("PLL:"), 120, 840, 555, 255, big);
        Label_Status_Out[i] =
            label(out, "Label_Status_Out", i, QString(), 720, 840, 1155, 345, big, true);

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
