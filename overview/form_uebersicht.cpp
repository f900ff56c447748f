#include "form_uebersicht.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QJsonDocument>
#include <QLabel>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPushButton>
#include <QShortcut>
#include <QSignalBlocker>
#include <QTime>
#include <QTimer>

#include "layout.h"
#include "messages/texts.h"
#include "plan/inputfiles.h"
#include "protocol/display.h"
#include "protocol/readcheck.h"
#include "uisupport/clsresize.h"
#include "uisupport/fieldmark.h"
#include "uisupport/listindex.h"
#include "uisupport/pointer.h"
#include "uisupport/qtresize.h"
#include "uisupport/shell.h"
#include "uisupport/twips.h"
#include "uisupport/wheelguard.h"
#include "uisupport/windowicon.h"

namespace meridan {

namespace {

const QString ErrorTitle = QStringLiteral("Error");
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

constexpr ChannelField AllFields[] = {ChannelField::Carrier, ChannelField::Polarisation,
                                      ChannelField::InFreq, ChannelField::Gain,
                                      ChannelField::OutFreq};
// The fields a Save sends.
constexpr ChannelField SentFields[] = {ChannelField::Carrier, ChannelField::Polarisation,
                                       ChannelField::InFreq, ChannelField::Gain};

int at(ChannelField field) {
    return static_cast<int>(field);
}

// "Converter 4 to 12", "Converter 2, 4 to 12", "Converter 7".
QString converterList(const QList<int>& numbers) {
    QStringList parts;
    for (qsizetype k = 0; k < numbers.size();) {
        qsizetype j = k;
        while (j + 1 < numbers.size() && numbers[j + 1] == numbers[j] + 1)
            ++j;
        parts << (j == k ? QString::number(numbers[k])
                         : QStringLiteral("%1 to %2").arg(numbers[k]).arg(numbers[j]));
        k = j + 1;
    }
    return QStringLiteral("Converter ") + parts.join(QStringLiteral(", "));
}

int valueOf(const UnitImage& unit, int i, ChannelField field) {
    switch (field) {
        case ChannelField::Polarisation:
            return unit.Polarisation[i];
        case ChannelField::InFreq:
            return unit.InFreq[i];
        case ChannelField::Gain:
            return unit.Gain[i];
        case ChannelField::Carrier:
            return unit.Carrier[i];
        case ChannelField::OutFreq:
            break;
    }
    return 0;
}

void setValue(UnitImage& unit, int i, ChannelField field, int value) {
    switch (field) {
        case ChannelField::Polarisation:
            unit.Polarisation[i] = static_cast<std::uint8_t>(value);
            break;
        case ChannelField::InFreq:
            unit.InFreq[i] = value;
            break;
        case ChannelField::Gain:
            unit.Gain[i] = static_cast<std::uint8_t>(value);
            break;
        case ChannelField::Carrier:
            unit.Carrier[i] = static_cast<std::uint8_t>(value);
            break;
        case ChannelField::OutFreq:
            break;
    }
}

// One field of a converter, copied between two images of the unit.
void copyField(UnitImage& to, const UnitImage& from, int i, ChannelField field) {
    if (field == ChannelField::OutFreq) {
        to.OutFreq[i] = from.OutFreq[i];
    } else {
        setValue(to, i, field, valueOf(from, i, field));
    }
}

int valueOf(const ChannelSetting& s, ChannelField field) {
    switch (field) {
        case ChannelField::Polarisation:
            return s.polarisation;
        case ChannelField::InFreq:
            return s.inFreq;
        case ChannelField::Gain:
            return s.gain;
        case ChannelField::Carrier:
            return s.carrier;
        case ChannelField::OutFreq:
            break;
    }
    return 0;
}

// A value of a field as the window says it: "1200 MHz", "SAT 2", "ON".
QString valueText(ChannelField field, int v) {
    switch (field) {
        case ChannelField::Polarisation:
            return v >= 0 && v < SatInputs ? QStringLiteral("SAT %1").arg(v + 1)
                                           : QStringLiteral("SAT code %1").arg(v);
        case ChannelField::InFreq:
            return QStringLiteral("%1 MHz").arg(v);
        case ChannelField::Gain:
        case ChannelField::Carrier:
            return v == 0   ? QStringLiteral("OFF")
                   : v == 1 ? QStringLiteral("ON")
                            : QString::number(v);
        case ChannelField::OutFreq:
            break;
    }
    return QString::number(v);
}

const QColor DiffersColour(230, 130, 0);
const QColor NotTakenColour(210, 0, 0);
enum Tone { Plain, Good, Alarm };

}  // namespace

// What the phases of a Save came to.
struct Form_Uebersicht::SaveRun {
    enum class Stage {
        BackupRead,   // the backup read did not complete
        Unsettled,    // the backup read found values whose reads never agreed
        BackupSaved,  // the backup could not be kept
        Write,        // the write ran (its outcome says how far)
        ReadBack,     // the read-back did not complete
        Verified,     // read back and compared
    };
    Stage stage = Stage::BackupRead;
    QString backup;  // path
    QString why;
    WriteOutcome out;
    bool verify = true;
    UnitImage after;
    MemoryUnitView afterView;
    QStringList unsettled;
    QStringList differences;
};

const QString Form_Uebersicht::OwnerName = QStringLiteral("Overview");

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

    // Load: resize engine, icon, the Program item, the dormant controls.
    resize_ = std::make_unique<ui::clsResize>();
    resize_->oForm(std::make_shared<ui::QtResizeForm>(this));
    // The layout as designed, so the window scales to its size before its first read too (one
    // opened while another window holds the port waits for it).
    resize_->Initialize();
    ui::loadWindowIcon(this);
    shell_.setProgramMenuEnabled(false);
    Frame_Setting_Mode->hide();
    Frame_Startindex->hide();
    Command_Reload->hide();

    connect(qApp, &QApplication::focusChanged, this, &Form_Uebersicht::onFocusChanged);
    connect(&link_, &Link::ownerChanged, this, &Form_Uebersicht::onOwnerChanged);
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
        // Scrolling the window past a list does not change its input.
        ui::takeWheelOnlyWithFocus(Combo_Polarisation[i]);
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
    // Ctrl+S presses Save, as in any program that saves.
    auto* save = new QShortcut(QKeySequence::Save, this);
    save->setContext(Qt::WidgetWithChildrenShortcut);
    connect(save, &QShortcut::activated, this, [this] {
        if (Command_Save->isEnabled()) Command_Save_Click();
    });
    Label_SaveStatus = label(this, L::SaveStatus);
    Label_SaveStatus->setAlignment(Qt::AlignRight | Qt::AlignTop);
    Label_SaveStatus->setWordWrap(true);
    for (int i = 0; i < ConverterCount; ++i) {
        for (const ChannelField f : SentFields)
            marks_[i][at(f)] = new ui::FieldMark(control(i, f));
    }

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
    // A character key, taken or not, is an edit; so is every change of the text the user
    // makes in any other way (Delete, cut, the context menu, undo).
    for (const auto& [box, field] : {std::pair{Text_infrequenz[i], ChannelField::InFreq},
                                     std::pair{Text_outfrequenz[i], ChannelField::OutFreq}}) {
        connect(box, &FrequencyBox::characterKey, this,
                [this, i, field = field] { markEdited(i, field); });
        connect(box, &QLineEdit::textEdited, this,
                [this, i, field = field] { markEdited(i, field); });
    }
}

void Form_Uebersicht::markEdited(int channel, ChannelField field) {
    edited_[channel][at(field)] = true;
    touched_[channel][at(field)] = true;
    notTaken_[channel][at(field)] = false;
    data_.DataChanged = true;
    refreshMarks();
}

bool Form_Uebersicht::edited(int channel, ChannelField field) const {
    // A field no read has reached holds nothing of the unit's: it goes as its control stands,
    // unless a plan gave it a value.
    return edited_[channel][at(field)] ||
           (!everRead_[channel][at(field)] && !fromPlan_[channel][at(field)]);
}

UnitImage Form_Uebersicht::sendBase() const {
    UnitImage base = reported_;
    for (int i = 0; i < ConverterCount; ++i) {
        for (const ChannelField f : SentFields) {
            if (fromPlan_[i][at(f)]) setValue(base, i, f, valueOf(planned_, i, f));
        }
    }
    return base;
}

QWidget* Form_Uebersicht::control(int i, ChannelField field) const {
    switch (field) {
        case ChannelField::Polarisation:
            return Combo_Polarisation[i];
        case ChannelField::InFreq:
            return Text_infrequenz[i];
        case ChannelField::Gain:
            return Check_Gain[i];
        case ChannelField::OutFreq:
            return Text_outfrequenz[i];
        case ChannelField::Carrier:
            break;
    }
    return Carrier_On[i];
}

ui::FieldMark* Form_Uebersicht::mark(int channel, ChannelField field) const {
    return marks_[channel][at(field)];
}

void Form_Uebersicht::refreshMarks() {
    const UnitImage base = sendBase();
    for (int i = 0; i < ConverterCount; ++i) {
        for (const ChannelField f : SentFields) {
            QString tip;
            QColor colour;
            // Only where the unit's value is known.
            if (everRead_[i][at(f)]) {
                const int unit = valueOf(reported_, i, f);
                bool same = true;
                if (!edited_[i][at(f)]) {
                    same = valueOf(base, i, f) == unit;
                } else if (f == ChannelField::InFreq) {
                    bool ok = false;
                    const int typed = Text_infrequenz[i]->text().toInt(&ok);
                    same = ok && typed == unit;
                } else if (f == ChannelField::Polarisation) {
                    same = polarisationIndex(i) == unit;
                } else {
                    same = (f == ChannelField::Gain ? gainValue(i) : carrierValue(i)) == unit;
                }
                if (!same) {
                    tip = QStringLiteral("unit: ") + valueText(f, unit);
                    colour = DiffersColour;
                    if (notTaken_[i][at(f)]) {
                        tip += QStringLiteral(" (not taken at the last Save)");
                        colour = NotTakenColour;
                    }
                }
            }
            marks_[i][at(f)]->mark(colour);
            if (f == ChannelField::InFreq) {
                Text_infrequenz[i]->setNote(tip);
            } else {
                control(i, f)->setToolTip(tip);
            }
        }
    }
}

void Form_Uebersicht::showSaveStatus(const QString& text, const QString& detail, int tone) {
    QPalette p = palette();
    if (tone != Plain)
        p.setColor(QPalette::WindowText, tone == Good ? QColor(0, 128, 0) : QColor(176, 0, 0));
    Label_SaveStatus->setPalette(p);
    Label_SaveStatus->setText(text);
    Label_SaveStatus->setToolTip(detail.isEmpty() ? text : detail);
}

QString Form_Uebersicht::notReadMessage() const {
    QList<int> notRead;
    for (int i = 0; i < ConverterCount; ++i) {
        for (const ChannelField f : SentFields) {
            if (!everRead_[i][at(f)] && !edited_[i][at(f)] && !fromPlan_[i][at(f)]) {
                notRead << i + 1;
                break;
            }
        }
    }
    if (notRead.isEmpty()) return {};
    return converterList(notRead) +
           (notRead.size() == 1 ? QStringLiteral(" was") : QStringLiteral(" were")) +
           QStringLiteral(" not read from the unit: read again before saving");
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
    // Another window's exchange holds the port: the read follows once it is free.
    if (refuseWhilePortHeld()) {
        readPending_ = true;
        return;
    }
    readPending_ = false;
    // Edits not yet written are offered for saving before the read replaces them; asked
    // before the port is taken.
    if (!askToSave() || closeAfterSequence_) {
        finishSequence();
        return;
    }
    Link::OwnerScope owner(link_, OwnerName);
    if (!owner.held()) {
        readPending_ = true;
        refuseWhilePortHeld();
        return;
    }
    Link::SequenceScope scope(link_);
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

    // The user's edits were saved or dropped by the question; those made while the read runs
    // stay edits.
    for (auto& fields : edited_)
        fields.fill(false);
    for (auto& fields : reached_)
        fields.fill(false);
    for (FieldFlags* flags : {&fromPlan_, &notTaken_})
        for (auto& fields : *flags)
            fields.fill(false);
    serialReached_ = false;

    state_ = State::Reading;
    Command_Save->setEnabled(false);
    ui::setHourglass();
    data_.DataChanged = false;
    read_unit_data_(link_, data_.unit, data_.LockText, *this);
    keepUnreached();
    if (serialReached_) {
        identified_ = true;
        reported_.UnitType = data_.unit.UnitType;
        reported_.HwVersion = data_.unit.HwVersion;
        reported_.SwVersion = data_.unit.SwVersion;
        reported_.SerialNo = data_.unit.SerialNo;
    }
    refreshMarks();
    ui::setDefaultPointer();
    Command_Save->setEnabled(true);
    state_ = State::Idle;
    finishSequence();
}

void Form_Uebersicht::keepUnreached() {
    for (int i = 0; i < ConverterCount; ++i) {
        bool carrierKept = false;
        for (const ChannelField f : AllFields) {
            if (reached_[i][at(f)]) {
                everRead_[i][at(f)] = true;
                copyField(reported_, data_.unit, i, f);
            } else if (everRead_[i][at(f)] && !edited_[i][at(f)]) {
                copyField(data_.unit, reported_, i, f);
                showReported(i, f);
                carrierKept = carrierKept || f == ChannelField::Carrier;
            }
        }
        if (carrierKept) {
            // The fields follow the carrier as a read leaves them.
            const bool on = reported_.Carrier[i] != 0;
            setFieldEnabled(i, ChannelField::Polarisation, on);
            setFieldEnabled(i, ChannelField::InFreq, on);
            setFieldEnabled(i, ChannelField::Gain, on);
            setFieldEnabled(i, ChannelField::OutFreq, false);
        }
    }
}

void Form_Uebersicht::showReported(int i, ChannelField field) {
    switch (field) {
        case ChannelField::Polarisation:
            ui::ModListindex(Combo_Polarisation[i], reported_.Polarisation[i]);
            break;
        case ChannelField::InFreq:
            Text_infrequenz[i]->showValue(meridan::inFreqText(reported_.InFreq[i]));
            break;
        case ChannelField::Gain:
            setBoxValue(Check_Gain[i], reported_.Gain[i]);
            break;
        case ChannelField::OutFreq:
            Text_outfrequenz[i]->showValue(meridan::outFreqText(reported_.OutFreq[i]));
            break;
        case ChannelField::Carrier:
            setBoxValue(Carrier_On[i], reported_.Carrier[i]);
            break;
    }
}

SequenceResult Form_Uebersicht::Command_Save_Click() {
    if (state_ != State::Idle) return SequenceResult::Failed;
    // The value of a box the focus has just left, or is still in, is checked first.
    if (!runPendingValidation()) return SequenceResult::Refused;
    if (auto* box = qobject_cast<FrequencyBox*>(focusWidget()); box && !validate(box)) {
        return SequenceResult::Refused;
    }
    if (refuseWhilePortHeld()) return SequenceResult::Refused;
    // Nothing is sent for a converter whose settings did not come from the unit or the user.
    if (const QString notRead = notReadMessage(); !notRead.isEmpty()) {
        messages_.show(notRead, ErrorTitle, MessageIcon::Critical, MessageButtons::Ok);
        return SequenceResult::Refused;
    }
    // The values are taken before the first byte; an edit made while the write runs is not
    // sent and stays to be saved.
    auto collected = collectChannelSettings(*this, sendBase());
    if (const auto* error = std::get_if<FieldError>(&collected)) {
        messages_.show(error->message, ErrorTitle, MessageIcon::Critical, MessageButtons::Ok);
        focusField(error->channel, error->field);
        return SequenceResult::Refused;
    }
    const ChannelSettings settings = std::get<ChannelSettings>(collected);
    // The backup's folder is made and tried before the port is touched.
    const QString folder =
        data_.BackupFolder.isEmpty() ? plan::defaultBackupFolder() : data_.BackupFolder;
    if (QString why; !plan::prepareBackupFolder(folder, &why)) {
        const QString text = QStringLiteral(
                                 "No backup can be kept before the Save: %1. Nothing was sent; the "
                                 "unit is as it was.")
                                 .arg(why);
        showSaveStatus(QStringLiteral("Not saved: no backup can be kept"), text, Alarm);
        messages_.show(text, ErrorTitle, MessageIcon::Critical, MessageButtons::Ok);
        return SequenceResult::Refused;
    }

    SaveRun run;
    run.verify = data_.VerifyAfterSave;
    bool stoppedByUser = false;
    const bool changedBefore = data_.DataChanged;
    {
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
        Command_Save->repaint();  // the disabled button shows before the write starts
        data_.DataChanged = false;
        for (auto& fields : touched_)
            fields.fill(false);
        runSave(settings, run);
        stoppedByUser = link_.aborted();
        Command_Save->setEnabled(true);
        Command_Reload->setEnabled(true);
        state_ = State::Idle;
        ui::setDefaultPointer();
    }
    // The port is free: what the link had to say about a failure has been said.
    if (!run.out.stored) data_.DataChanged |= changedBefore;
    showSaveOutcome(settings, run);
    if (run.stage == SaveRun::Stage::Write && run.out.result != SequenceResult::Complete)
        tellUnitState(run.out, stoppedByUser, run.backup);
    finishSequence();
    return run.stage >= SaveRun::Stage::Write ? run.out.result : SequenceResult::Failed;
}

void Form_Uebersicht::runSave(const ChannelSettings& settings, SaveRun& run) {
    using Stage = SaveRun::Stage;
    const QString folder =
        data_.BackupFolder.isEmpty() ? plan::defaultBackupFolder() : data_.BackupFolder;
    LockTextTable locks;
    fillLockText(locks);
    // What the unit holds now, read for the backup as the command line's write does: a read
    // of the window's could be older than a power cycle or a Save that did not complete.
    showSaveStatus(QStringLiteral("Reading the unit for its backup..."), {}, Plain);
    {
        UnitImage before;
        MemoryUnitView view;
        ReadCheck check;
        if (read_unit_data_(link_, before, locks, view, &check) != SequenceResult::Complete) return;
        if (!check.unsettled.isEmpty()) {
            run.stage = Stage::Unsettled;
            run.unsettled = check.unsettled;
            return;
        }
        run.stage = Stage::BackupSaved;
        run.backup = plan::saveCheckedBackup(folder, before, view, false, &run.why);
        if (run.backup.isEmpty()) return;
        data_.lastSave = SaveRecord{before.UnitType, before.SerialNo, {}, run.backup};
    }
    run.stage = Stage::Write;
    showSaveStatus(QStringLiteral("Writing..."), {}, Plain);
    run.out = writeChannelSettings(link_, settings, data_.unit, data_.LockText, *this);
    if (run.out.result != SequenceResult::Complete || !run.verify || link_.aborted()) return;

    run.stage = Stage::ReadBack;
    showSaveStatus(QStringLiteral("Reading back..."), {}, Plain);
    ReadCheck check;
    if (read_unit_data_(link_, run.after, locks, run.afterView, &check) !=
        SequenceResult::Complete) {
        return;
    }
    run.stage = Stage::Verified;
    run.unsettled = check.unsettled;
    plan::Profile sent;
    sent.settings = settings;
    run.differences = plan::diffPlan(run.after, sent, QStringLiteral("sent"));
}

void Form_Uebersicht::showSaveOutcome(const ChannelSettings& settings, const SaveRun& run) {
    using Stage = SaveRun::Stage;
    const QString when = QTime::currentTime().toString(QStringLiteral("HH:mm:ss"));
    const QString backup = run.backup.isEmpty()
                               ? QString()
                               : QStringLiteral("Backup: ") + QFileInfo(run.backup).fileName();
    const QString backupTip = run.backup.isEmpty()
                                  ? QString()
                                  : QStringLiteral("\nBackup before the Save: ") + run.backup;
    auto status = [&](const QString& line, const QString& detail, int tone) {
        showSaveStatus(backup.isEmpty() ? line : line + QLatin1Char('\n') + backup,
                       detail + backupTip, tone);
        if (data_.lastSave && !run.backup.isEmpty()) {
            // For the report: at most five lines.
            QStringList lines = detail.split(QLatin1Char('\n'));
            if (lines.size() > 5) {
                const qsizetype more = lines.size() - 4;
                lines = lines.mid(0, 4) << QStringLiteral("and %1 more").arg(more);
            }
            data_.lastSave->outcome = lines.join(QLatin1Char('\n'));
        }
    };
    const QString notWritten = QStringLiteral("nothing was written; the unit is as it was");
    switch (run.stage) {
        case Stage::BackupRead:
            status(QStringLiteral("Not saved: the unit could not be read for its backup"),
                   QStringLiteral("Not saved: the unit could not be read for its backup; ") +
                       notWritten + QLatin1Char('.'),
                   Alarm);
            if (!link_.aborted() && !link_.isShutDown() && !closeAfterSequence_) {
                messages_.show(QStringLiteral("Save did not complete: the unit could not be read "
                                              "for its backup; ") +
                                   notWritten + QLatin1Char('.'),
                               shell_.applicationTitle(), MessageIcon::Warning, MessageButtons::Ok);
            } else if (!link_.isShutDown()) {
                shell_.showNotice(QStringLiteral("Save stopped: ") + notWritten + QLatin1Char('.'));
            }
            return;
        case Stage::Unsettled: {
            const QString text = QStringLiteral(
                                     "Save did not complete: reading the unit for its backup, "
                                     "these values never read the same twice (a noisy line?); ") +
                                 notWritten + QStringLiteral(":\n") +
                                 run.unsettled.join(QLatin1Char('\n'));
            status(QStringLiteral("Not saved: the unit's values did not read the same twice"), text,
                   Alarm);
            messages_.show(text, shell_.applicationTitle(), MessageIcon::Warning,
                           MessageButtons::Ok);
            return;
        }
        case Stage::BackupSaved: {
            const QString text = QStringLiteral(
                                     "Save did not complete: the backup could not be "
                                     "kept: %1; ")
                                     .arg(run.why) +
                                 notWritten + QLatin1Char('.');
            status(QStringLiteral("Not saved: the backup could not be kept"), text, Alarm);
            messages_.show(text, shell_.applicationTitle(), MessageIcon::Critical,
                           MessageButtons::Ok);
            return;
        }
        case Stage::Write:
        case Stage::ReadBack:
        case Stage::Verified:
            break;
    }
    if (!run.out.stored) {
        status(QStringLiteral("Save did not complete: ") + unitStateAfterWrite(run.out),
               QStringLiteral("Save did not complete: ") + unitStateAfterWrite(run.out), Alarm);
        return;
    }
    // The unit holds what was sent, as far as the window knows without a read-back.
    for (int i = 0; i < ConverterCount; ++i) {
        for (const ChannelField f : SentFields) {
            setValue(reported_, i, f, valueOf(settings[i], f));
            everRead_[i][at(f)] = true;
            fromPlan_[i][at(f)] = false;
            notTaken_[i][at(f)] = false;
        }
    }
    if (run.out.result != SequenceResult::Complete) {
        status(QStringLiteral("Saved %1 (plan stored); not read back").arg(when),
               QStringLiteral("Saved %1 (plan stored); the end of the communication failed, so "
                              "it was not read back")
                   .arg(when),
               Alarm);
    } else if (run.stage == Stage::Write) {
        status(QStringLiteral("Saved %1; not read back").arg(when),
               QStringLiteral("Saved %1; not read back (Verify after Save is off)").arg(when),
               Plain);
    } else if (run.stage == Stage::ReadBack) {
        status(
            QStringLiteral("Saved %1 (plan stored); the read-back failed: not verified").arg(when),
            QStringLiteral("Saved %1 (plan stored); the read-back failed, so whether the "
                           "unit took every value is not known")
                .arg(when),
            Alarm);
    } else if (!run.unsettled.isEmpty()) {
        status(QStringLiteral("Saved %1 (plan stored); not verified: a noisy read-back").arg(when),
               QStringLiteral("Saved %1 (plan stored); not verified: in the read-back these values "
                              "never read the same twice:\n")
                       .arg(when) +
                   run.unsettled.join(QLatin1Char('\n')),
               Alarm);
    } else {
        showReadBack(settings, run);
        if (run.differences.isEmpty()) {
            status(QStringLiteral("Saved and verified %1").arg(when),
                   QStringLiteral("Saved and verified %1").arg(when), Good);
        } else {
            // The first of them under Save, all of them in its tool tip.
            const qsizetype n = run.differences.size();
            QStringList lines{
                QStringLiteral("Saved %1; the unit did not take %2 %3:")
                    .arg(when)
                    .arg(n)
                    .arg(n == 1 ? QStringLiteral("field") : QStringLiteral("fields"))};
            lines += run.differences.mid(0, n > 3 ? 2 : 3);
            if (n > 3) lines << QStringLiteral("and %1 more (marked)").arg(n - 2);
            status(lines.join(QLatin1Char('\n')),
                   QStringLiteral("Saved %1; the unit did not take %2 %3:\n")
                           .arg(when)
                           .arg(n)
                           .arg(n == 1 ? QStringLiteral("field") : QStringLiteral("fields")) +
                       run.differences.join(QLatin1Char('\n')),
                   Alarm);
        }
    }
    refreshMarks();
}

void Form_Uebersicht::showReadBack(const ChannelSettings& settings, const SaveRun& run) {
    data_.unit = run.after;
    for (int i = 0; i < ConverterCount; ++i) {
        const MemoryUnitView::Channel& c = run.afterView.channels[i];
        setLockText(i, LockSide::Input, c.inputLock);
        setLockText(i, LockSide::Output, c.outputLock);
        reported_.InputLock[i] = run.after.InputLock[i];
        reported_.OutputLock[i] = run.after.OutputLock[i];
        reported_.OutFreq[i] = run.after.OutFreq[i];
        everRead_[i][at(ChannelField::OutFreq)] = true;
        if (!edited_[i][at(ChannelField::OutFreq)]) Text_outfrequenz[i]->showValue(c.outFreq);
        for (const ChannelField f : SentFields) {
            const int unit = valueOf(run.after, i, f);
            setValue(reported_, i, f, unit);
            // A field changed while the Save ran stays the user's.
            if (touched_[i][at(f)]) continue;
            if (unit == valueOf(settings[i], f)) {
                edited_[i][at(f)] = false;
                continue;
            }
            // Not taken: the field keeps what was sent, and sends it again at the next Save.
            notTaken_[i][at(f)] = true;
            fromPlan_[i][at(f)] = true;
            setValue(planned_, i, f, valueOf(settings[i], f));
            data_.DataChanged = true;
        }
    }
}

void Form_Uebersicht::tellUnitState(const WriteOutcome& out, bool stoppedByUser,
                                    const QString& backup) {
    if (link_.isShutDown()) return;  // the program is ending
    QString text = unitStateAfterWrite(out);
    if (changedSomething(out) && !out.stored) {
        text += QStringLiteral("; after a power cycle it returns to its stored settings");
        if (!backup.isEmpty()) text += QStringLiteral("; the backup is ") + backup;
    }
    if (stoppedByUser || closeAfterSequence_) {
        // The window is going: the status bar says it.
        shell_.showNotice(QStringLiteral("Save stopped: ") + text + QLatin1Char('.'));
        return;
    }
    if (out.stored) {
        messages_.show(QStringLiteral("The unit has stored the settings (plan stored); only the "
                                      "end of the communication failed."),
                       shell_.applicationTitle(), MessageIcon::Information, MessageButtons::Ok);
        return;
    }
    messages_.show(QStringLiteral("Save did not complete: ") + text + QLatin1Char('.'),
                   shell_.applicationTitle(), MessageIcon::Warning, MessageButtons::Ok);
}

bool Form_Uebersicht::refuseWhilePortHeld() {
    if (link_.owner().isEmpty() || link_.owner() == OwnerName) return false;
    // Nothing is read or written, and the user's edits stay.
    shell_.showNotice(text::portInUseBy(link_.owner()));
    return true;
}

void Form_Uebersicht::onOwnerChanged(const QString& owner) {
    if (!owner.isEmpty() || !readPending_) return;
    auto* sub = qobject_cast<QMdiSubWindow*>(parentWidget());
    if (sub && sub->mdiArea() && sub->mdiArea()->activeSubWindow() != sub) return;
    // Once the exchange that held the port has unwound.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (readPending_) Form_Activate();
        },
        Qt::QueuedConnection);
}

bool Form_Uebersicht::askToSave() {
    if (!data_.DataChanged) return true;
    const MessageResult answer = messages_.show(SaveQuestion, shell_.applicationTitle(),
                                                MessageIcon::Question, MessageButtons::OkCancel);
    // Cancel: the edits are dropped, by the read that follows or with the closing window.
    if (answer != MessageResult::Ok) return true;
    // A save that did not reach the unit, or that the unit did not take whole, keeps the
    // window and its edits.
    return Command_Save_Click() == SequenceResult::Complete && !data_.DataChanged;
}

// ---- plans, records, the unit for a report -----------------------------------------------------

bool Form_Uebersicht::openPlan(const plan::Profile& plan, const QString& name) {
    if (state_ != State::Idle) return false;
    if (data_.DataChanged &&
        messages_.show(QStringLiteral("The overview holds changes that are not saved; the plan "
                                      "%1 replaces them. Open it?")
                           .arg(name),
                       shell_.applicationTitle(), MessageIcon::Question,
                       MessageButtons::OkCancel) != MessageResult::Ok) {
        return false;
    }
    pendingValidation_ = nullptr;
    int differ = 0;
    for (int i = 0; i < ConverterCount; ++i) {
        const ChannelSetting& p = plan.settings[i];
        for (const ChannelField f : SentFields) {
            const int v = valueOf(p, f);
            edited_[i][at(f)] = false;
            notTaken_[i][at(f)] = false;
            // A value the unit already holds is the unit's; any other goes as the file has it.
            const bool same = everRead_[i][at(f)] && valueOf(reported_, i, f) == v;
            fromPlan_[i][at(f)] = !same;
            setValue(planned_, i, f, v);
            if (!same) ++differ;
        }
        ui::ModListindex(Combo_Polarisation[i], p.polarisation);
        Text_infrequenz[i]->showValue(meridan::inFreqText(p.inFreq));
        setBoxValue(Check_Gain[i], p.gain);
        setBoxValue(Carrier_On[i], p.carrier);
        // The fields follow the carrier as a read leaves them.
        const bool on = p.carrier != 0;
        setFieldEnabled(i, ChannelField::Polarisation, on);
        setFieldEnabled(i, ChannelField::InFreq, on);
        setFieldEnabled(i, ChannelField::Gain, on);
    }
    data_.DataChanged = differ > 0;
    refreshMarks();
    QString text = differ == 0 ? QStringLiteral("Opened %1: the unit holds it already.").arg(name)
                               : QStringLiteral(
                                     "Opened %1: %2 %3 from the unit (marked); nothing "
                                     "is sent until Save.")
                                     .arg(name)
                                     .arg(differ)
                                     .arg(differ == 1 ? QStringLiteral("field differs")
                                                      : QStringLiteral("fields differ"));
    if (identified_ && plan.serial && *plan.serial != reported_.SerialNo) {
        text += QStringLiteral(" It was read from %1 %2; this unit is %3 %4.")
                    .arg(printableText(plan.unitType))
                    .arg(*plan.serial)
                    .arg(printableText(reported_.UnitType))
                    .arg(reported_.SerialNo);
    }
    showSaveStatus(text, {}, Plain);
    return true;
}

std::variant<QByteArray, QString> Form_Uebersicht::planRecord() {
    if (!identified_) return QStringLiteral("The unit has not been read yet: its plan names it.");
    if (const QString notRead = notReadMessage(); !notRead.isEmpty()) return notRead;
    auto collected = collectChannelSettings(*this, sendBase());
    if (const auto* error = std::get_if<FieldError>(&collected)) {
        focusField(error->channel, error->field);
        return error->message;
    }
    const ChannelSettings& settings = std::get<ChannelSettings>(collected);
    UnitImage unit = reported_;
    MemoryUnitView view;
    for (int i = 0; i < ConverterCount; ++i) {
        unit.Polarisation[i] = settings[i].polarisation;
        unit.InFreq[i] = settings[i].inFreq;
        unit.Gain[i] = settings[i].gain;
        unit.Carrier[i] = settings[i].carrier;
        view.channels[i].outFreq = meridan::outFreqText(reported_.OutFreq[i]);
        view.channels[i].inputLock = Label_Status_In[i]->text();
        view.channels[i].outputLock = Label_Status_Out[i]->text();
    }
    return QJsonDocument(plan::unitToJson(unit, view)).toJson(QJsonDocument::Indented);
}

std::optional<std::pair<QString, std::int32_t>> Form_Uebersicht::unitIdentity() const {
    if (!identified_) return std::nullopt;
    return std::pair{reported_.UnitType, reported_.SerialNo};
}

std::optional<Form_Uebersicht::UnitRead> Form_Uebersicht::readUnit(QString* why) {
    if (why) why->clear();
    if (state_ != State::Idle || refuseWhilePortHeld()) {
        if (why) *why = QStringLiteral("the port is in use");
        return std::nullopt;
    }
    UnitRead r;
    ReadCheck check;
    SequenceResult result = SequenceResult::Failed;
    {
        Link::OwnerScope owner(link_, OwnerName);
        if (!owner.held()) {
            refuseWhilePortHeld();
            if (why) *why = QStringLiteral("the port is in use");
            return std::nullopt;
        }
        Link::SequenceScope scope(link_);
        state_ = State::Reading;
        Command_Save->setEnabled(false);
        ui::setHourglass();
        LockTextTable locks;
        fillLockText(locks);
        result = read_unit_data_(link_, r.unit, locks, r.view, &check);
        r.at = QDateTime::currentDateTime();
        ui::setDefaultPointer();
        Command_Save->setEnabled(true);
        state_ = State::Idle;
    }
    finishSequence();
    if (result != SequenceResult::Complete) return std::nullopt;
    if (!check.unsettled.isEmpty()) {
        if (why) {
            *why = QStringLiteral("these values never read the same twice (a noisy line?):\n") +
                   check.unsettled.join(QLatin1Char('\n'));
        }
        return std::nullopt;
    }
    return r;
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
    if (data_.DataChanged && !closeAfterSequence_ && !link_.isShutDown() &&
        !link_.owner().isEmpty() && link_.owner() != OwnerName) {
        // The question cannot be asked while another window's exchange runs, nor could the
        // edits be saved: the window stays with them.
        shell_.showNotice(text::portInUseBy(link_.owner()) +
                          QStringLiteral(" The overview keeps its edits until it is free."));
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
    QWidget* w = control(channel, field);
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
            serialReached_ = true;
            break;
    }
}

void Form_Uebersicht::setValidationSuspended(int channel, bool suspended) {
    suspended_[channel] = suspended;
}

void Form_Uebersicht::setFieldEnabled(int channel, ChannelField field, bool enabled) {
    control(channel, field)->setEnabled(enabled);
}

void Form_Uebersicht::setCarrier(int channel, int value) {
    edited_[channel][at(ChannelField::Carrier)] = false;
    reached_[channel][at(ChannelField::Carrier)] = true;
    setBoxValue(Carrier_On[channel], value);
}

void Form_Uebersicht::selectPolarisation(int channel, int index) {
    edited_[channel][at(ChannelField::Polarisation)] = false;
    reached_[channel][at(ChannelField::Polarisation)] = true;
    ui::ModListindex(Combo_Polarisation[channel], index);
}

void Form_Uebersicht::setInFreqText(int channel, const QString& text) {
    edited_[channel][at(ChannelField::InFreq)] = false;
    reached_[channel][at(ChannelField::InFreq)] = true;
    Text_infrequenz[channel]->showValue(text);
}

void Form_Uebersicht::setOutFreqText(int channel, const QString& text) {
    edited_[channel][at(ChannelField::OutFreq)] = false;
    reached_[channel][at(ChannelField::OutFreq)] = true;
    Text_outfrequenz[channel]->showValue(text);
}

void Form_Uebersicht::setLockText(int channel, LockSide side, const QString& text) {
    (side == LockSide::Input ? Label_Status_In : Label_Status_Out)[channel]->setText(text);
}

void Form_Uebersicht::setGain(int channel, int value) {
    edited_[channel][at(ChannelField::Gain)] = false;
    reached_[channel][at(ChannelField::Gain)] = true;
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
