#include "flash.h"

#include <cmath>

#include "messages/texts.h"
#include "protocol/firmwareimage.h"

namespace meridan::cli {

namespace {
// The rate counts as steady after this many blocks: a whole sector, with its pause.
constexpr int SteadyAfter = BlocksPerSector + 1;

QString clockText(double seconds) {
    const auto s = static_cast<qint64>(std::llround(seconds));
    return QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
}
}  // namespace

FlashProgress::FlashProgress(const QString& image, Clock& clock, Voice& voice, bool terminal)
    : image_(image), clock_(clock), voice_(voice), terminal_(terminal && voice.stream()) {}

void FlashProgress::show(const QString& text) {
    if (text == last_) return;
    last_ = text;
    if (onProgress) {
        onProgress(text);
    } else if (terminal_) {
        *voice_.stream() << '\r' << text << "\x1b[K";
        voice_.stream()->flush();
        lineOpen_ = true;
    } else {
        voice_.put(text);
    }
}

void FlashProgress::finishLine() {
    last_.clear();
    if (lineOpen_) *voice_.stream() << Qt::endl;
    lineOpen_ = false;
}

void FlashProgress::phaseChanged(TransferPhase phase, const TransferStatus& status) {
    switch (phase) {
        case TransferPhase::Waiting:
            show(QStringLiteral("Waiting for the module..."));
            return;
        case TransferPhase::Running:
            totalBlocks_ = status.totalBlocks;
            blocksStart_ = clock_.now();
            show(status.attempt > 1 ? QStringLiteral("Sending, attempt %1").arg(status.attempt)
                                    : QStringLiteral("Sending"));
            return;
        case TransferPhase::Restarting:
            finishLine();
            last_.clear();
            voice_.put(QStringLiteral("The module stopped answering: starting again"));
            return;
        case TransferPhase::Confirmed:
            finishLine();
            return;
        case TransferPhase::Starting:
        case TransferPhase::Asking:
        case TransferPhase::Succeeded:
            return;
    }
}

void FlashProgress::finished(TransferOutcome outcome, const QString& detail) {
    QString why;
    QString title = text::UpdateError;
    switch (outcome) {
        case TransferOutcome::Failed:
            why = text::UpdateFailed;
            break;
        case TransferOutcome::NoConnection:
            why = text::ConnectionNotEstablished;
            break;
        case TransferOutcome::PortClosed:
            why = text::NoComPortSelected;
            title = text::ComPortError;
            break;
        case TransferOutcome::Refused:
            why = detail;
            break;
        case TransferOutcome::Success:
        case TransferOutcome::Cancelled:
        case TransferOutcome::Aborted:
            return;
    }
    finishLine();
    // The window breaks its two languages' lines at a carriage return; the voice makes them
    // lines.
    voice_.put(title + QStringLiteral(": ") + why);
}

QString FlashProgress::progressLine(int blocksSent, double now) const {
    const int total = std::max(totalBlocks_, 1);
    const int sector = (blocksSent - 1) / BlocksPerSector;
    const int block = (blocksSent - 1) % BlocksPerSector;
    const double elapsed = std::max(now - blocksStart_, 1e-6);
    const double rate = double(blocksSent) * BlockBytes / elapsed;
    QString s = QStringLiteral("%1%  sector %2/%3  block %4  %5 B/s")
                    .arg(blocksSent * 100 / total, 3)
                    .arg(sector + 1)
                    .arg(total / BlocksPerSector)
                    .arg(block + 1)
                    .arg(std::llround(rate));
    if (blocksSent >= SteadyAfter && blocksSent < total) {
        s += QStringLiteral("  %1 left").arg(clockText((total - blocksSent) * BlockBytes / rate));
    }
    return s;
}

void FlashProgress::progress(const TransferProgress& p) {
    if (p.step != TransferProgress::Step::Sent) return;
    show(progressLine(p.blocksSent, clock_.now()));
}

}  // namespace meridan::cli
