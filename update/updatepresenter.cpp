#include "updatepresenter.h"

#include <QApplication>
#include <QHash>
#include <QLabel>
#include <QProgressBar>

#include "form_update.h"
#include "messages/texts.h"
#include "uisupport/activityind.h"
#include "uisupport/pointer.h"
#include "uisupport/shell.h"

namespace meridan {

namespace {

// The window's colours, as the unit's tools have always written them (0x00BBGGRR).
constexpr quint32 Black = 0;
constexpr quint32 Red = 255;
constexpr quint32 Green = 49152;

const QString Waiting = QStringLiteral("Waiting for response...");
const QString WaitingForRequest = QStringLiteral("Waiting for request...");
const QString Running = QStringLiteral("Running");
const QString Error = QStringLiteral("Error");
const QString Ready = QStringLiteral("Ready");
const QString Success = QStringLiteral("Update Successful / Update erfolgreich");
const QString IdleEnglish = QStringLiteral("To start update procedure press Update button");
const QString IdleGerman =
    QStringLiteral("Um den Update-Vorgang zu starten, Update Button drücken");
const QString RunningEnglish = QStringLiteral("Update in progress, please wait");
const QString RunningGerman = QStringLiteral("Update wird ausgeführt, bitte warten");
const QString RestartEnglish = QStringLiteral("Update error. Automatical restart, please wait");
const QString RestartGerman = QStringLiteral("Update Fehler. Automatischer Neustart, bitte warten");
const QString CheckEnglish = QStringLiteral("Checking module type for update, please wait");
const QString CheckGerman = QStringLiteral("Prüfe Modultyp für Update-Vorgang, bitte warten");
const QString CancelRequestedTitle = QStringLiteral("Cancel requested");
const QString CancelAtRestart =
    QStringLiteral("Cancel requested: the update stops at its next restart");
const QString CancelledEnglish = QStringLiteral("Update cancelled");
const QString CancelledGerman = QStringLiteral("Update abgebrochen");

// A number as the window writes it: a blank before a non-negative value.
QString signedNumber(qint64 value) {
    return value < 0 ? QString::number(value) : QLatin1Char(' ') + QString::number(value);
}

}  // namespace

UpdatePresenter::UpdatePresenter(Form_Update& window, ui::Shell& shell, MessageService& messages)
    : window_(window), shell_(shell), messages_(messages) {}

QString UpdatePresenter::chooseImage(bool) {
    // Chosen by the window before the update started.
    return window_.chosenImage();
}

void UpdatePresenter::begin() {
    cancel_ = false;
    busy_ = true;
    sending_ = false;
    sentAny_ = false;
}

void UpdatePresenter::requestCancel() {
    cancel_ = true;
    if (!busy_) return;
    showTitle(CancelRequestedTitle, Colour::Red);
    shell_.setStatusPanel(2, sending_ ? CancelAtRestart : CancelRequestedTitle);
}

void UpdatePresenter::phaseChanged(TransferPhase phase, const TransferStatus& status) {
    switch (phase) {
        case TransferPhase::Starting:
            ui::setHourglass();
            window_.resetClock();
            // Every start and every restart begins with an empty bar and 0%.
            window_.ProgressBar1->setValue(0);
            setPercent(QStringLiteral("0%"));
            window_.Activity1->setForeColor(Red);
            sending_ = false;
            showTitle(Waiting, Colour::Black);
            if (status.moduleCheck) {
                showInstructions(CheckEnglish, CheckGerman);
            } else {
                showInstructions(QString(), QString());
            }
            return;
        case TransferPhase::Waiting:
            sending_ = false;
            showTitle(Waiting, Colour::Black);
            if (status.moduleCheck) {
                showInstructions(CheckEnglish, CheckGerman);
                setStatusPanel(WaitingForRequest);
            } else {
                showInstructions(QString(), QString());
                setStatusPanel(Waiting);
            }
            return;
        case TransferPhase::Asking:
            window_.startClock();
            return;
        case TransferPhase::Running:
            sending_ = true;
            if (!sentAny_) window_.recordImageSending();
            sentAny_ = true;
            showTitle(Running, Colour::Red);
            showInstructions(RunningEnglish, RunningGerman);
            window_.showImageSent(window_.transfer().figures().image,
                                  window_.transfer().figures().imageBytes, status.sectors);
            window_.ProgressBar1->setMaximum(status.totalBlocks);
            window_.ProgressBar1->setValue(0);
            setPercent(QStringLiteral("0%"));
            ui::setHourglass();
            window_.resetClock();
            window_.startClock();
            return;
        case TransferPhase::Restarting:
            showTitle(Error, Colour::Red);
            showInstructions(RestartEnglish, RestartGerman);
            return;
        case TransferPhase::Confirmed:
            window_.stopClock();
            return;
        case TransferPhase::Succeeded:
            sending_ = false;
            setStatusPanel(QString());
            window_.Activity1->setForeColor(Green);
            showTitle(Success, Colour::Green);
            showInstructions(QString(), QString());
            return;
    }
}

void UpdatePresenter::progress(const TransferProgress& p) {
    switch (p.step) {
        case TransferProgress::Step::Sending:
            setStatusPanel(QStringLiteral("Sending Sector") + signedNumber(p.sector) +
                           QStringLiteral("   Block") + signedNumber(p.block));
            return;
        case TransferProgress::Step::Sent:
            window_.ProgressBar1->setValue(p.blocksSent);
            setPercent(signedNumber(qint64(p.blocksSent) * 100 / p.totalBlocks) + QLatin1Char('%'));
            return;
        case TransferProgress::Step::Written:
            setStatusPanel(QStringLiteral("Writing Sector") + signedNumber(p.sector));
            return;
    }
}

void UpdatePresenter::finished(TransferOutcome outcome, const QString& detail) {
    auto tell = [&](const QString& text, const QString& title) {
        ui::setDefaultPointer();
        messages_.show(text, title, MessageIcon::Critical, MessageButtons::Ok);
    };
    switch (outcome) {
        case TransferOutcome::Success:
            endInReady();
            QApplication::beep();
            break;
        case TransferOutcome::Failed:
            tell(text::UpdateFailed, text::UpdateError);
            endInReady();
            break;
        case TransferOutcome::Cancelled:
            endInReady();
            showInstructions(CancelledEnglish, CancelledGerman);
            break;
        case TransferOutcome::NoConnection:
            tell(text::ConnectionNotEstablished, text::UpdateError);
            endInReady();
            break;
        case TransferOutcome::PortClosed:
            tell(text::NoComPortSelected, text::ComPortError);
            endInReady();
            break;
        case TransferOutcome::Refused:
            tell(detail, text::UpdateError);
            endInReady();
            break;
        case TransferOutcome::Aborted:
            endInReady();
            break;
    }
    if (sentAny_) {
        // For the commissioning report: what went to the module, and how it ended.
        static const QHash<int, QString> results{
            {int(TransferOutcome::Success), QStringLiteral("Update Successful")},
            {int(TransferOutcome::Failed),
             QStringLiteral("Update error: not confirmed by the module after %1 attempts")
                 .arg(FirmwareTransfer::MaxAttempts)},
            {int(TransferOutcome::Cancelled),
             QStringLiteral("Cancelled: not confirmed by the module")},
            {int(TransferOutcome::NoConnection),
             QStringLiteral("Update error: the module stopped answering; not confirmed")},
            {int(TransferOutcome::PortClosed),
             QStringLiteral("Stopped: the port was closed; not confirmed")},
            {int(TransferOutcome::Aborted),
             QStringLiteral("Stopped: the window or the program was closed; not confirmed")},
        };
        window_.recordImageSent(results.value(int(outcome), detail));
    }
    busy_ = false;
    sending_ = false;
    sentAny_ = false;
    window_.showImageSent({}, 0, 0);
}

void UpdatePresenter::endInReady() {
    window_.stopClock();
    showReady();
}

void UpdatePresenter::showReady() {
    window_.Activity1->setForeColor(Green);
    showTitle(Ready, Colour::Black);
    showInstructions(IdleEnglish, IdleGerman);
    window_.ProgressBar1->setValue(0);
    setPercent(QStringLiteral("0%"));
    shell_.setStatusPanel(2, QString());
    window_.toolbarIdle();
    ui::setDefaultPointer();
}

void UpdatePresenter::showIdleTexts() {
    window_.Label_title->setText(Ready);
    showInstructions(IdleEnglish, IdleGerman);
    setPercent(QStringLiteral("0%"));
}

void UpdatePresenter::showTitle(const QString& shown, Colour colour) {
    QString text = shown;
    // While a cancel waits for the next restart, the busy titles say so.
    if (cancelPending() && (text == Running || text == Waiting)) {
        text = CancelRequestedTitle;
        colour = Colour::Red;
    }
    const quint32 c = colour == Colour::Red ? Red : colour == Colour::Green ? Green : Black;
    QPalette p = window_.Label_title->palette();
    p.setColor(QPalette::WindowText, ui::ActivityInd::toQColor(c));
    window_.Label_title->setPalette(p);
    window_.Label_title->setText(text);
    window_.Label_title->repaint();
}

void UpdatePresenter::showInstructions(const QString& english, const QString& german) {
    window_.Label_englisch->setText(english);
    window_.Label_deutsch->setText(german);
    window_.Label_englisch->repaint();
    window_.Label_deutsch->repaint();
}

void UpdatePresenter::setStatusPanel(const QString& text) {
    if (cancelPending() && !text.isEmpty()) {
        shell_.setStatusPanel(2, sending_ ? CancelAtRestart : CancelRequestedTitle);
        return;
    }
    shell_.setStatusPanel(2, text);
}

void UpdatePresenter::setPercent(const QString& text) {
    window_.Label1->setText(text);
    window_.Label1->repaint();
}

}  // namespace meridan
