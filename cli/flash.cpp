#include "flash.h"

#include <cmath>

namespace meridan::cli {

namespace {
constexpr qint64 BlockBytes = SectorBytes / BlocksPerSector;
// The rate counts as steady after this many blocks: a whole sector, with its pause.
constexpr int SteadyAfter = BlocksPerSector + 1;

QString clockText(double seconds) {
    const auto s = static_cast<qint64>(std::llround(seconds));
    return QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
}
}  // namespace

FlashProgress::FlashProgress(const QString& image, Clock& clock, QTextStream& err, bool terminal)
    : image_(image), clock_(clock), err_(err), terminal_(terminal) {}

void FlashProgress::show(const QString& text) {
    if (text == last_) return;
    last_ = text;
    if (terminal_) {
        err_ << '\r' << text << "\x1b[K";
        lineOpen_ = true;
    } else {
        err_ << text << '\n';
    }
    err_.flush();
}

void FlashProgress::finishLine() {
    last_.clear();
    if (lineOpen_) err_ << '\n';
    lineOpen_ = false;
    err_.flush();
}

void FlashProgress::showTitle(const QString& text, TitleColour) {
    if (text == fwtext::Waiting) {
        show(QStringLiteral("Waiting for the module..."));
    } else if (text == fwtext::Running) {
        ++attempt_;
        show(attempt_ > 1 ? QStringLiteral("Sending, attempt %1").arg(attempt_)
                          : QStringLiteral("Sending"));
    } else if (text == fwtext::Error) {
        finishLine();
        show(QStringLiteral("The module stopped answering: starting again"));
        finishLine();
    } else if (text == fwtext::Success) {
        finishLine();
    }
}

void FlashProgress::setProgressMaximum(int blocks) {
    totalBlocks_ = blocks;
    blocksStart_ = clock_.now();
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

void FlashProgress::setProgress(int blocksSent) {
    if (blocksSent <= 0) return;
    show(progressLine(blocksSent, clock_.now()));
}

}  // namespace meridan::cli
