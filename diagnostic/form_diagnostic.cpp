#include "form_diagnostic.h"

#include <algorithm>

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDateTime>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include "layout.h"
#include "messages/texts.h"
#include "phonepanel.h"
#include "uisupport/clsresize.h"
#include "uisupport/qtresize.h"
#include "uisupport/shell.h"
#include "uisupport/twips.h"
#include "uisupport/wheelguard.h"
#include "uisupport/windowicon.h"

namespace meridan {

namespace {

namespace L = diagnostic_layout;
using ui::arial;

// The rate is written at most this often (seconds on the link's clock).
constexpr double RateEvery = 0.5;
// The lock strips move on at least this often while the monitor runs (seconds on the link's
// clock), and by a timer (milliseconds) while it does not.
constexpr double StripEvery = 0.25;
constexpr int StripEveryMs = 500;

ui::LockSample sample(std::uint8_t value) {
    if (value == 0) return ui::LockSample::Unlocked;
    if (value == 1) return ui::LockSample::Locked;
    return ui::LockSample::Unknown;
}

using ui::place;

QLabel* label(QWidget* parent, const L::Place& p, int index = -1, double top = -1) {
    return place(new QLabel(QString::fromUtf8(p.caption), parent), p, index, -1, top);
}

template <typename W>
W* captioned(QWidget* parent, const L::Place& p) {
    return place(new W(QString::fromUtf8(p.caption), parent), p);
}

QString timeOfDay(const QDateTime& t) {
    return t.toString(QStringLiteral("HH:mm:ss"));
}

}  // namespace

const QString Form_Diagnostic::OwnerName = QStringLiteral("Diagnostic");

Form_Diagnostic::Shown Form_Diagnostic::shownFor(std::optional<std::uint8_t> value) {
    if (!value) return Shown::NotRead;
    if (*value == 0) return Shown::Unlocked;
    if (*value == 1) return Shown::Locked;
    return Shown::Unknown;
}

QColor Form_Diagnostic::colour(Shown shown) {
    switch (shown) {
        case Shown::Locked:
            return QColor(0, 160, 0);
        case Shown::Unlocked:
            return QColor(210, 0, 0);
        case Shown::Unknown:
            return QColor(160, 160, 160);
        case Shown::Stale:
            return QColor(200, 200, 200);
        case Shown::NotRead:
            break;
    }
    return QColor(224, 224, 224);
}

Form_Diagnostic::Form_Diagnostic(Link& link, MessageService& messages, ui::Shell& shell,
                                 QWidget* parent)
    : QWidget(parent),
      link_(link),
      messages_(messages),
      shell_(shell),
      monitor_(link, *this),
      beep_([] { QApplication::beep(); }) {
    setObjectName(QStringLiteral("Form_Diagnostic"));
    setWindowTitle(QStringLiteral("Diagnostic"));
    setFont(arial(8.25, false));
    resize(sizeHint());
    buildControls();
    resize_ = std::make_unique<ui::clsResize>();
    resize_->oForm(std::make_shared<ui::QtResizeForm>(this));
    resize_->Initialize();
    ui::loadWindowIcon(this);
    connect(&link_, &Link::ownerChanged, this, [this] {
        showOwner();
        enableControls();
    });
    showOwner();
    enableControls();
}

Form_Diagnostic::~Form_Diagnostic() = default;

QSize Form_Diagnostic::sizeHint() const {
    return QSize(ui::twipsToPixels(ClientWidthTwips), ui::twipsToPixels(ClientHeightTwips));
}

void Form_Diagnostic::buildControls() {
    Frame_Locks = captioned<QGroupBox>(this, L::Locks);
    for (const L::Place* p :
         {&L::HeadConverter, &L::HeadIn, &L::HeadOut, &L::HeadChanged, &L::HeadHistory})
        label(Frame_Locks, *p);
    // The converters' names in the overview's purple.
    QPalette purple = palette();
    purple.setColor(QPalette::WindowText, QColor(128, 0, 128));
    for (int i = 0; i < ConverterCount; ++i) {
        const double down = L::RowStep * i;
        Label_Converter[i] = label(Frame_Locks, L::Converter, i, L::Converter.top + down);
        Label_Converter[i]->setText(QString::fromUtf8(L::Converter.caption).arg(i + 1));
        Label_Converter[i]->setPalette(purple);
        Label_Status_In[i] = label(Frame_Locks, L::StatusIn, i, L::StatusIn.top + down);
        Label_Status_Out[i] = label(Frame_Locks, L::StatusOut, i, L::StatusOut.top + down);
        for (QLabel* l : {Label_Status_In[i], Label_Status_Out[i]}) {
            l->setAlignment(Qt::AlignCenter);
            l->setFrameStyle(QFrame::Panel | QFrame::Sunken);
            l->setAutoFillBackground(true);
            showLock(l, std::nullopt);
        }
        Label_Changed[i] = label(Frame_Locks, L::Changed, i, L::Changed.top + down);
        LockStrip_In[i] =
            ui::place(new ui::LockStrip(Frame_Locks), L::HistoryIn, i, -1, L::HistoryIn.top + down);
        LockStrip_Out[i] = ui::place(new ui::LockStrip(Frame_Locks), L::HistoryOut, i, -1,
                                     L::HistoryOut.top + down);
        LockStrip_In[i]->setHistory(&inHistory_[i]);
        LockStrip_Out[i]->setHistory(&outHistory_[i]);
        LockStrip_In[i]->setToolTip(QStringLiteral("Input lock, last 60 s"));
        LockStrip_Out[i]->setToolTip(QStringLiteral("Output lock, last 60 s"));
    }
    stripTimer_ = new QTimer(this);
    stripTimer_->setInterval(StripEveryMs);
    connect(stripTimer_, &QTimer::timeout, this, [this] { redrawStrips(); });
    stripTimer_->start();

    Frame_Monitor = captioned<QGroupBox>(this, L::Monitor);
    label(Frame_Monitor, L::ConvertersText);
    Combo_Converter = place(new QComboBox(Frame_Monitor), L::ConverterChoice);
    ui::takeWheelOnlyWithFocus(Combo_Converter);
    Combo_Converter->addItem(QStringLiteral("All converters"));
    for (int i = 1; i <= ConverterCount; ++i)
        Combo_Converter->addItem(QStringLiteral("Converter %1").arg(i));
    Check_OutputLock = captioned<QCheckBox>(Frame_Monitor, L::OutputLock);
    Check_Beep = captioned<QCheckBox>(Frame_Monitor, L::Beep);
    Command_Start = captioned<QPushButton>(Frame_Monitor, L::Start);
    Command_Stop = captioned<QPushButton>(Frame_Monitor, L::Stop);
    Label_Rate = label(Frame_Monitor, L::Rate);

    Frame_State = captioned<QGroupBox>(this, L::State);
    Label_State = label(Frame_State, L::StateText);
    Label_Owner = label(Frame_State, L::Owner);
    for (QLabel* l : {Label_State, Label_Owner}) {
        l->setWordWrap(true);
        l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    }

    new PhonePanel(*this, monitor_, link_.clock());
    connect(Combo_Converter, &QComboBox::currentIndexChanged, this, [this] { enableControls(); });
    connect(Command_Start, &QPushButton::clicked, this, [this] { Command_Start_Click(); });
    connect(Command_Stop, &QPushButton::clicked, this, [this] { Command_Stop_Click(); });
}

MonitorChoice Form_Diagnostic::choice() const {
    MonitorChoice c;
    c.converter = Combo_Converter->currentIndex() - 1;
    c.outputLock = !c.all() && Check_OutputLock->isChecked();
    return c;
}

void Form_Diagnostic::enableControls() {
    const bool run = busy_;
    const bool portFree = link_.owner().isEmpty() || link_.owner() == OwnerName;
    const bool one = Combo_Converter->currentIndex() > 0;
    Command_Start->setEnabled(!run && portFree);
    Command_Stop->setEnabled(run && !stopping_);
    Combo_Converter->setEnabled(!run);
    Check_OutputLock->setEnabled(!run && one);
    // The signal follows one converter; it can be switched on and off while the monitor runs.
    Check_Beep->setEnabled(run ? !running_.all() : one);
}

void Form_Diagnostic::showOwner() {
    const QString owner = link_.owner();
    if (owner.isEmpty()) {
        Label_Owner->setText(QStringLiteral("The port is free."));
    } else if (owner == OwnerName) {
        Label_Owner->setText(QStringLiteral("This window holds the port."));
    } else {
        Label_Owner->setText(text::portInUseBy(owner));
    }
}

void Form_Diagnostic::showState(const QString& text, bool alarm) {
    QPalette p = Label_State->palette();
    p.setColor(QPalette::WindowText,
               alarm ? colour(Shown::Unlocked) : palette().color(QPalette::WindowText));
    Label_State->setPalette(p);
    Label_State->setText(text);
}

void Form_Diagnostic::showLock(QLabel* label, std::optional<std::uint8_t> value, bool stale) {
    const Shown shown = shownFor(value);
    static const char* const texts[] = {"-", "Unknown", "Unlocked", "Locked"};
    const QString text = QString::fromLatin1(texts[static_cast<int>(shown)]);
    QString tip =
        value ? QStringLiteral("The unit answered %1").arg(*value) : QStringLiteral("Not read");
    if (stale && value) tip = QStringLiteral("Last answer %1; the unit is silent now").arg(*value);
    const Shown painted = stale && value ? Shown::Stale : shown;
    if (label->text() == text && label->toolTip() == tip &&
        label->property("Shown").toInt() == int(painted)) {
        return;
    }
    QPalette p = label->palette();
    p.setColor(QPalette::Window, colour(painted));
    p.setColor(QPalette::WindowText, painted == Shown::Locked || painted == Shown::Unlocked
                                         ? QColor(Qt::white)
                                         : QColor(Qt::darkGray));
    if (painted == Shown::Unknown) p.setColor(QPalette::WindowText, QColor(Qt::black));
    label->setPalette(p);
    label->setText(text);
    label->setToolTip(tip);
    label->setProperty("Shown", int(painted));
}

void Form_Diagnostic::showNotRead(QLabel* label, const QString& tip) {
    showLock(label, std::nullopt);
    label->setToolTip(tip);
}

// ---- Start, Stop, closing -------------------------------------------------------------------

void Form_Diagnostic::Command_Start_Click() {
    if (busy_) return;
    busy_ = true;
    const Link::OwnerScope owner(link_, OwnerName);
    if (!owner.held()) {
        busy_ = false;
        shell_.showNotice(text::portInUseBy(link_.owner()));
        return;
    }
    running_ = choice();
    // "-" until the unit has answered for the row; "Unknown" is one of its answers.
    for (int i = 0; i < ConverterCount; ++i) {
        const QString noAnswer = QStringLiteral("No answer yet");
        const QString notRead = QStringLiteral("Not read");
        showNotRead(Label_Status_In[i], running_.reads(i, LockSide::Input) ? noAnswer : notRead);
        showNotRead(Label_Status_Out[i], running_.reads(i, LockSide::Output) ? noAnswer : notRead);
        lastIn_[i].reset();
        lastOut_[i].reset();
        Label_Changed[i]->clear();
    }
    Label_Rate->clear();
    rateShownAt_ = -1;
    historiesStale(link_.clock().now());
    for (int i = 0; i < ConverterCount; ++i)
        LockStrip_Out[i]->setVisible(running_.all() || running_.outputLock);
    stopping_ = false;
    showState(QStringLiteral("Connecting..."), false);
    enableControls();

    const MonitorOutcome out = monitor_.run(running_);

    historiesStale(link_.clock().now());
    busy_ = false;
    stopping_ = false;
    Label_Rate->clear();
    switch (out.end) {
        case MonitorEnd::Done:
        case MonitorEnd::Stopped:
        case MonitorEnd::Aborted:
            showState(QStringLiteral("Stopped after %1 rounds").arg(out.rounds), false);
            break;
        case MonitorEnd::NoConnection:
            showState(text::ConnectionNotEstablished, true);
            break;
        case MonitorEnd::Failed:
            showState(QStringLiteral("Stopped: no port open"), true);
            break;
        case MonitorEnd::PortLost:
            showState(QStringLiteral("Stopped: the port went away"), true);
            break;
    }
    enableControls();
    if (closeAfterSequence_) ui::closeChildWindowLater(this);
}

void Form_Diagnostic::Command_Stop_Click() {
    if (!busy_ || stopping_) return;
    stopping_ = true;
    showState(QStringLiteral("Stopping..."), false);
    monitor_.stop();
    enableControls();
}

void Form_Diagnostic::closeEvent(QCloseEvent* event) {
    if (busy_) {
        // The exchange in progress is completed and the end command sent; the window goes
        // once the monitor has returned.
        closeAfterSequence_ = true;
        Command_Stop_Click();
        event->ignore();
        return;
    }
    event->accept();
}

void Form_Diagnostic::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if (resize_) resize_->DoResize();
}

// ---- what the monitor sees ------------------------------------------------------------------

void Form_Diagnostic::round(const MonitorRound& r) {
    QString now;  // the time of day, taken once a row has changed
    for (int i = 0; i < ConverterCount; ++i) {
        bool changed = false;
        for (const LockSide side : {LockSide::Input, LockSide::Output}) {
            const auto& value = r.values(side)[i];
            if (!value) continue;
            const auto& before = (side == LockSide::Input ? r.inputBefore : r.outputBefore)[i];
            (side == LockSide::Input ? inHistory_ : outHistory_)[i].add(r.time, sample(*value));
            showLock((side == LockSide::Input ? Label_Status_In : Label_Status_Out)[i], value);
            (side == LockSide::Input ? lastIn_ : lastOut_)[i] = value;
            changed = changed || !before || r.changed(i, side);
        }
        if (changed) {
            if (now.isEmpty()) now = timeOfDay(QDateTime::currentDateTime());
            Label_Changed[i]->setText(now);
        }
        if (i == running_.converter && r.changed(i, LockSide::Input) && Check_Beep->isChecked())
            beep_();
    }
    historyTime_ = std::max(historyTime_, r.time);
    // At 300 rounds a second the strips are drawn again for a change, else now and then.
    if (!now.isEmpty() || r.time - stripsDrawnAt_ >= StripEvery) redrawStrips();
    if (r.number == 1 && !stopping_) showState(QStringLiteral("Running"), false);
    if (r.rate > 0 && (rateShownAt_ < 0 || r.time - rateShownAt_ >= RateEvery)) {
        rateShownAt_ = r.time;
        Label_Rate->setText(QStringLiteral("%1 rounds/s").arg(r.rate, 0, 'f', 1));
    }
}

void Form_Diagnostic::silent(double since) {
    const double ago = link_.clock().now() - since;
    const QDateTime at = QDateTime::currentDateTime().addMSecs(-qint64(ago * 1000.0));
    showState(QStringLiteral("No answer since %1; reconnecting...").arg(timeOfDay(at)), true);
    Label_Rate->clear();
    // What the unit said last no longer holds for sure.
    for (int i = 0; i < ConverterCount; ++i) {
        if (lastIn_[i]) showLock(Label_Status_In[i], lastIn_[i], true);
        if (lastOut_[i]) showLock(Label_Status_Out[i], lastOut_[i], true);
    }
    rateShownAt_ = -1;
    historiesStale(since);
}

void Form_Diagnostic::historiesStale(double time) {
    // A history's times never go back.
    historyTime_ = std::max(historyTime_, time);
    for (int i = 0; i < ConverterCount; ++i) {
        inHistory_[i].add(historyTime_, ui::LockSample::Stale);
        outHistory_[i].add(historyTime_, ui::LockSample::Stale);
    }
    redrawStrips();
}

void Form_Diagnostic::redrawStrips() {
    const double now = link_.clock().now();
    stripsDrawnAt_ = now;
    for (int i = 0; i < ConverterCount; ++i) {
        LockStrip_In[i]->showAt(now);
        LockStrip_Out[i]->showAt(now);
    }
}

void Form_Diagnostic::reconnected() {
    if (!stopping_) showState(QStringLiteral("Running"), false);
}

}  // namespace meridan
