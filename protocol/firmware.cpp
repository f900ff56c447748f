#include "firmware.h"

#include <algorithm>
#include <utility>

namespace meridan {

// A block is what the port takes at once: the program sets its transmit buffer to a block.
static_assert(BlockBytes == Port::TransmitBufferBytes);

namespace {
const QByteArray WordUP = QByteArrayLiteral("UP");
const QByteArray WordOK = QByteArrayLiteral("OK");
const QByteArray WordEN = QByteArrayLiteral("EN");
}  // namespace

FirmwareTransfer::FirmwareTransfer(Link& link, TransferObserver& observer)
    : link_(link), observer_(observer) {}

void FirmwareTransfer::warte(double seconds) {
    link_.WaitSeconds(seconds);
}

bool FirmwareTransfer::waitForReply(const QByteArray& word, WordAt at, double opensAt) {
    const QByteArray& reply = link_.ReplyBuffer();
    return link_.waitFor(
               [&] { return at == WordAt::End ? reply.endsWith(word) : reply.startsWith(word); },
               ModuleAnswerLimit, std::max(link_.clock().now(), opensAt)) == Link::Wait::Done;
}

FirmwareTransfer::Outcome FirmwareTransfer::finish(const Ended& ended) {
    image_.clear();
    observer_.finished(ended.outcome, ended.detail);
    return ended.outcome;
}

std::optional<FirmwareTransfer::Ended> FirmwareTransfer::prepare() {
    phase(TransferPhase::Starting);
    if (!link_.port().isOpen()) return Ended{Outcome::PortClosed, {}};
    return std::nullopt;
}

std::optional<FirmwareTransfer::Ended> FirmwareTransfer::loadImage() {
    if (!link_.port().isOpen()) return Ended{Outcome::PortClosed, {}};
    // An image that cannot be sent is refused before anything goes to the module. What is
    // read now is what every attempt sends, whatever happens to the file meanwhile.
    const QString path = observer_.chooseImage(false);
    auto read = readFirmwareImage(path);
    if (auto* why = std::get_if<QString>(&read)) return Ended{Outcome::Refused, *why};
    image_ = std::move(std::get<QByteArray>(read));
    figures_.image = path;
    figures_.imageBytes = image_.size();
    figures_.sectors = static_cast<int>(sectorCount(image_.size()));
    return std::nullopt;
}

FirmwareTransfer::Handshake FirmwareTransfer::UpdateStartHandshake() {
    const double series = link_.clock().now();
    link_.clearReplyBuffer();
    for (;;) {
        phase(TransferPhase::Waiting);
        warte(TryPause);
        if (link_.aborted()) return Handshake::Aborted;
        phase(TransferPhase::Asking);
        const double attempt = link_.clock().now();
        if (!link_.pumpOnce(0)) return Handshake::Aborted;
        link_.write(WordUP);
        link_.clearReplyBuffer();
        // The module check does not look at Cancel.
        auto cancelled = [&] { return !status_.moduleCheck && observer_.cancelRequested(); };
        const Link::Wait w =
            link_.waitFor([&] { return cancelled() || link_.ReplyBuffer().endsWith(WordOK); },
                          HandshakeTry, attempt);
        if (w == Link::Wait::Aborted) return Handshake::Aborted;
        if (cancelled()) return Handshake::Cancelled;
        if (w == Link::Wait::Done) return Handshake::Answered;
        if (link_.clock().now() - series > HandshakeLimit) return Handshake::NoAnswer;
    }
}

std::optional<FirmwareTransfer::Ended> FirmwareTransfer::runAttempt() {
    figures_.bytesSent = 0;
    status_ = {false, figures_.attempt, 0, 0};
    if (auto ended = prepare()) return ended;

    switch (UpdateStartHandshake()) {
        case Handshake::Answered:
            break;
        case Handshake::Cancelled:
            return Ended{Outcome::Cancelled, {}};
        case Handshake::NoAnswer:
            return Ended{Outcome::NoConnection, {}};
        case Handshake::Aborted:
            return Ended{Outcome::Aborted, {}};
    }
    link_.clearReplyBuffer();
    return sendImage();
}

std::optional<FirmwareTransfer::Ended> FirmwareTransfer::sendImage() {
    const int sectors = figures_.sectors;
    const int total = sectors * BlocksPerSector;
    status_.sectors = sectors;
    status_.totalBlocks = total;
    phase(TransferPhase::Running);
    const Ended aborted{Outcome::Aborted, {}};
    warte(ImagePause);
    if (link_.aborted()) return aborted;

    link_.clearReplyBuffer();
    QByteArray announce = WordOK;
    announce.append(static_cast<char>(sectors));
    link_.write(announce);
    warte(CountPause);
    if (link_.aborted()) return aborted;

    int blocksSent = 0;
    double answerOpens = 0;
    double lineFree = 0;  // when the line has carried the last block handed over
    double handedOver = 0;
    qint64 offset = 0;
    for (int sector = 0; sector < sectors; ++sector) {
        if (!waitForReply(WordOK, WordAt::End, answerOpens)) {
            return link_.aborted() ? std::optional(aborted) : std::nullopt;
        }
        link_.clearReplyBuffer();
        warte(SectorPause);
        if (link_.aborted()) return aborted;
        constexpr int blockSize = int(BlockBytes);
        double sectorHandedOver = 0;
        for (int block = 0; block < BlocksPerSector; ++block) {
            if (!link_.pumpOnce(0)) return aborted;
            observer_.progress({TransferProgress::Step::Sending, sector, block, blocksSent, total});
            // Past the end of the image the block is filled up with blanks.
            QByteArray data = image_.mid(offset, blockSize);
            data.append(QByteArray(blockSize - data.size(), ' '));
            offset += blockSize;
            link_.clearReplyBuffer();
            handedOver = link_.clock().now();
            if (block == 0) sectorHandedOver = handedOver;
            link_.write(data);
            // The block counts as sent once the port has taken all of it and the line has
            // carried it: a port that buffers (a network server, a pseudo-terminal, a USB
            // adapter) takes it long before. Bytes reported after a stop count the same way.
            const bool buffers = link_.port().buffersWrites();
            const double lineStart = std::max(handedOver, lineFree);
            lineFree = lineStart + double(blockSize) / LineBytesPerSecond;
            auto onTheLine = [&] {
                const double crossed = (link_.clock().now() - lineStart) * LineBytesPerSecond;
                const qint64 left = blockSize - link_.port().bytesToWrite();
                return std::clamp(std::min(qint64(crossed), left), qint64(0), qint64(blockSize));
            };
            if (!link_.drain(DrainLimit)) {
                figures_.bytesSent += onTheLine();
                return link_.aborted() ? std::optional(aborted) : std::nullopt;
            }
            if (buffers && link_.clock().now() < lineFree)
                link_.WaitSeconds(lineFree - link_.clock().now());
            if (link_.aborted()) {
                figures_.bytesSent += onTheLine();
                return aborted;
            }
            ++blocksSent;
            figures_.bytesSent += blockSize;
            observer_.progress({TransferProgress::Step::Sent, sector, block, blocksSent, total});
        }
        observer_.progress(
            {TransferProgress::Step::Written, sector, BlocksPerSector - 1, blocksSent, total});
        answerOpens = std::max(
            link_.clock().now(),
            sectorHandedOver + double(BlocksPerSector) * double(blockSize) / LineBytesPerSecond);
    }

    // The module answers the last sector with "EN" at the start of what it sends. The pause
    // runs from the moment the port took the last block, as it always has: the time spent
    // above waiting for the line is part of it.
    warte(std::max(0.0, handedOver + EndPause - link_.clock().now()));
    if (link_.aborted()) return aborted;
    if (!waitForReply(WordEN, WordAt::Start, answerOpens)) {
        return link_.aborted() ? std::optional(aborted) : std::nullopt;
    }
    phase(TransferPhase::Confirmed);
    if (observer_.lingerOnSuccess()) {
        // The module has the image; closing the window now only cuts the display short.
        warte(SuccessPause);
        if (!link_.aborted()) {
            phase(TransferPhase::Succeeded);
            warte(SuccessShown);
        }
    }
    return Ended{Outcome::Success, {}};
}

FirmwareTransfer::Outcome FirmwareTransfer::RunUpdate() {
    Link::SequenceScope scope(link_);
    figures_ = {};
    status_ = {false, 1, 0, 0};
    if (const auto ended = loadImage()) return finish(*ended);
    return runAttempts();
}

FirmwareTransfer::Outcome FirmwareTransfer::runAttempts() {
    figures_.attempt = 0;
    for (;;) {
        ++figures_.attempt;
        if (const auto ended = runAttempt()) return finish(*ended);
        ++RetryCount;
        if (RetryCount >= MaxAttempts) return finish({Outcome::Failed, {}});
        // The next attempt sends the same image from its start.
        phase(TransferPhase::Restarting);
        warte(RestartPause);
        if (link_.aborted()) return finish({Outcome::Aborted, {}});
    }
}

FirmwareTransfer::Outcome FirmwareTransfer::CheckModuleType() {
    Link::SequenceScope scope(link_);
    RetryCount = 0;
    figures_ = {};
    status_ = {true, 0, 0, 0};
    if (auto ended = prepare()) return finish(*ended);
    if (const auto ended = loadImage()) return finish(*ended);
    switch (UpdateStartHandshake()) {
        case Handshake::Answered:
        case Handshake::Cancelled:  // the check does not look at Cancel
            break;
        case Handshake::NoAnswer:
            return finish({Outcome::NoConnection, {}});
        case Handshake::Aborted:
            return finish({Outcome::Aborted, {}});
    }
    link_.clearReplyBuffer();
    return runAttempts();
}

}  // namespace meridan
