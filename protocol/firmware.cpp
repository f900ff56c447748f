#include "firmware.h"

#include "messages/texts.h"

#include <fcntl.h>
#include <unistd.h>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <algorithm>

namespace meridan {

namespace {
const QByteArray WordUP = QByteArrayLiteral("UP");
const QByteArray WordOK = QByteArrayLiteral("OK");
const QByteArray WordEN = QByteArrayLiteral("EN");

QString cannotBeRead(const QString& path, const QString& why) {
    return QStringLiteral("The firmware image %1 cannot be read: %2")
        .arg(QDir::toNativeSeparators(path), why);
}

// Why an image of `size` bytes cannot be sent; empty when it can.
QString sizeError(const QString& path, qint64 size) {
    const QString shown = QDir::toNativeSeparators(path);
    const qint64 sectors = (size + SectorBytes - 1) / SectorBytes;
    if (size == 0) return QStringLiteral("The firmware image %1 is empty!").arg(shown);
    if (sectors > MaxSectors) {
        return QStringLiteral(
                   "The firmware image %1 has %2 sectors of 64 KiB; at most %3 can be sent!")
            .arg(shown)
            .arg(sectors)
            .arg(MaxSectors);
    }
    return {};
}
}  // namespace

bool FileExists(const QString& path) {
    if (path.isEmpty()) return false;
    const QFileInfo info(path);
    return info.exists() && !info.isDir();
}

bool FileReady(const QString& path) {
#ifdef Q_OS_UNIX
    // A shared lock cannot be had while another process holds the file for writing under
    // an exclusive lock, as a copying program does.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct flock lock {};
    lock.l_type = F_RDLCK;
    lock.l_whence = SEEK_SET;
    const bool ok = ::fcntl(fd, F_SETLK, &lock) == 0;
    ::close(fd);
    return ok;
#else
    QFile f(path);
    return f.open(QIODevice::ReadOnly);
#endif
}

QStringList firmwareImagesNewestFirst(const QString& folder, const QString& pattern) {
    const QDir dir(folder);
    QStringList names =
        dir.entryList({pattern}, QDir::Files | QDir::Hidden, QDir::Name | QDir::IgnoreCase);
    QList<QDateTime> times;
    for (const QString& n : names)
        times.append(QFileInfo(dir.filePath(n)).lastModified());
    // Newest first: each place gets the newest of what follows it; equal times stay put.
    for (qsizetype i = 0; i < names.size(); ++i) {
        for (qsizetype j = i + 1; j < names.size(); ++j) {
            if (times[i] < times[j]) {
                names.swapItemsAt(i, j);
                times.swapItemsAt(i, j);
            }
        }
    }
    return names;
}

ImageCheck checkFirmwareImage(const QString& path) {
    ImageCheck c;
    if (path.isEmpty()) {
        c.error = QStringLiteral("No firmware image %1 found!").arg(FirmwarePattern);
        return c;
    }
    const QString shown = QDir::toNativeSeparators(path);
    const QFileInfo info(path);
    if (!info.exists() || info.isDir()) {
        c.error = cannotBeRead(
            path, info.isDir() ? QStringLiteral("it is a folder") : QStringLiteral("no such file"));
        return c;
    }
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        c.error = cannotBeRead(path, f.errorString());
        return c;
    }
    c.size = f.size();
    c.sectors = static_cast<int>((c.size + SectorBytes - 1) / SectorBytes);
    c.error = sizeError(path, c.size);
    return c;
}

QString signedNumber(qint64 value) {
    return value < 0 ? QString::number(value) : QLatin1Char(' ') + QString::number(value);
}

FirmwareTransfer::FirmwareTransfer(Link& link, FirmwareView& view, MessageService& messages)
    : link_(link), view_(view), messages_(messages) {}

FirmwareTransfer::~FirmwareTransfer() {
    file_.close();
}

void FirmwareTransfer::warte(double seconds) {
    link_.WaitSeconds(seconds);
}

bool FirmwareTransfer::waitForReply(const QByteArray& word, WordAt at, double opensAt) {
    const QByteArray& reply = link_.ReplyBuffer();
    return link_.waitFor(
               [&] { return at == WordAt::End ? reply.endsWith(word) : reply.startsWith(word); },
               ModuleAnswerLimit, std::max(link_.clock().now(), opensAt)) == Link::Wait::Done;
}

void FirmwareTransfer::report(const QString& message, const QString& title) {
    messages_.restoreCursor();
    messages_.show(message, title, MessageIcon::Critical, MessageButtons::Ok);
}

bool FirmwareTransfer::prepare(bool moduleCheck, Outcome* refused) {
    view_.setHourglass(true);
    view_.resetClock();
    // Every start and every restart begins with an empty bar and 0%.
    view_.setProgress(0);
    view_.setPercent(QStringLiteral("0%"));
    view_.setIndicatorBusy(true);
    view_.showTitle(fwtext::Waiting, TitleColour::Black);
    if (moduleCheck) {
        view_.showInstructions(fwtext::CheckEnglish, fwtext::CheckGerman);
    } else {
        view_.showInstructions(QString(), QString());
    }
    if (!link_.port().isOpen()) {
        report(text::NoComPortSelected, text::ComPortError);
        view_.setStatusPanel(QString());
        view_.showReady();
        *refused = Outcome::PortClosed;
        return false;
    }
    // An image that cannot be sent is refused before anything goes to the module.
    if (refuseImage(view_.SelectFirmwareFile(false), nullptr)) {
        *refused = Outcome::Refused;
        return false;
    }
    return true;
}

void FirmwareTransfer::endInReady() {
    view_.stopClock();
    view_.setStatusPanel(QString());
    view_.showReady();
}

bool FirmwareTransfer::readImage(const QString& path) {
    image_.clear();
    file_.close();
    file_.setFileName(path);
    QString error;
    if (!file_.open(QIODevice::ReadOnly)) {
        error = cannotBeRead(path, file_.errorString());
    } else {
        const qint64 size = file_.size();
        error = sizeError(path, size);
        if (error.isEmpty()) {
            image_.resize(size);
            qint64 got = 0;
            while (got < size) {
                const qint64 n = file_.read(image_.data() + got, size - got);
                if (n <= 0) break;
                got += n;
            }
            if (got < size) {
                error = QStringLiteral(
                            "The firmware image %1 could not be read whole: only %2 "
                            "of its %3 bytes. Nothing of it was sent.")
                            .arg(QDir::toNativeSeparators(path))
                            .arg(got)
                            .arg(size);
                image_.clear();
            }
        }
    }
    file_.close();
    if (error.isEmpty()) return true;
    report(error, fwtext::UpdateError);
    endInReady();
    return false;
}

bool FirmwareTransfer::refuseImage(const QString& path, ImageCheck* check) {
    const ImageCheck c = checkFirmwareImage(path);
    if (check) *check = c;
    if (c.error.isEmpty()) return false;
    report(c.error, fwtext::UpdateError);
    endInReady();
    return true;
}

FirmwareTransfer::Handshake FirmwareTransfer::UpdateStartHandshake(bool moduleCheck) {
    const double series = link_.clock().now();
    link_.clearReplyBuffer();
    for (;;) {
        view_.showTitle(fwtext::Waiting, TitleColour::Black);
        if (moduleCheck) {
            view_.showInstructions(fwtext::CheckEnglish, fwtext::CheckGerman);
            view_.setStatusPanel(fwtext::WaitingForRequest);
        } else {
            view_.showInstructions(QString(), QString());
            view_.setStatusPanel(fwtext::Waiting);
        }
        warte(1);
        if (link_.aborted()) return Handshake::Aborted;
        view_.startClock();
        const double attempt = link_.clock().now();
        if (!link_.pumpOnce(0)) return Handshake::Aborted;
        link_.write(WordUP);
        link_.clearReplyBuffer();
        // The module check does not look at Cancel.
        auto cancelled = [&] { return !moduleCheck && view_.cancelRequested(); };
        const Link::Wait w =
            link_.waitFor([&] { return cancelled() || link_.ReplyBuffer().endsWith(WordOK); },
                          HandshakeTry, attempt);
        if (w == Link::Wait::Aborted) return Handshake::Aborted;
        if (cancelled()) return Handshake::Cancelled;
        if (w == Link::Wait::Done) return Handshake::Answered;
        if (link_.clock().now() - series > HandshakeLimit) return Handshake::NoAnswer;
    }
}

FirmwareTransfer::Attempt FirmwareTransfer::runAttempt() {
    figures_.bytesSent = 0;
    Outcome refused = Outcome::Refused;
    if (!prepare(false, &refused)) {
        return refused == Outcome::PortClosed ? Attempt::PortClosed : Attempt::Refused;
    }

    switch (UpdateStartHandshake(false)) {
        case Handshake::Answered:
            break;
        case Handshake::Cancelled:
            endInReady();
            return Attempt::Cancelled;
        case Handshake::NoAnswer:
            report(text::ConnectionNotEstablished, fwtext::UpdateError);
            endInReady();
            return Attempt::NoConnection;
        case Handshake::Aborted:
            return Attempt::Aborted;
    }

    link_.clearReplyBuffer();
    const QString image = view_.SelectFirmwareFile(true);
    link_.clearReplyBuffer();
    if (refuseImage(image, nullptr)) return Attempt::Refused;

    int blocksSent = 0;
    // The whole image, as the file holds it now: what happens to the file from here on does
    // not change what is sent.
    if (!readImage(image)) return Attempt::Refused;
    const int sectors = static_cast<int>((image_.size() + SectorBytes - 1) / SectorBytes);
    const int total = sectors * BlocksPerSector;
    figures_.image = image;
    figures_.sectors = sectors;
    figures_.imageBytes = image_.size();

    view_.showTitle(fwtext::Running, TitleColour::Red);
    view_.showInstructions(fwtext::RunningEnglish, fwtext::RunningGerman);
    view_.setProgressMaximum(total);
    view_.setProgress(0);
    view_.setPercent(QStringLiteral("0%"));
    view_.setHourglass(true);
    view_.resetClock();
    view_.startClock();
    warte(0.5);
    if (link_.aborted()) return Attempt::Aborted;

    // The sector count.
    link_.clearReplyBuffer();
    QByteArray announce = WordOK;
    announce.append(static_cast<char>(sectors));
    link_.write(announce);
    warte(1);
    if (link_.aborted()) return Attempt::Aborted;

    // The module's answer to a sector cannot come before the sector has crossed the line,
    // however early the port took it: its answer window opens no earlier than that.
    double answerOpens = 0;
    qint64 offset = 0;
    for (int sector = 0; sector < sectors; ++sector) {
        if (!waitForReply(WordOK, WordAt::End, answerOpens)) {
            return link_.aborted() ? Attempt::Aborted : Attempt::Stalled;
        }
        link_.clearReplyBuffer();
        warte(1);
        if (link_.aborted()) return Attempt::Aborted;
        const int blockSize = link_.port().transmitBufferSize();
        double sectorHandedOver = 0;
        for (int block = 0; block < BlocksPerSector; ++block) {
            if (!link_.pumpOnce(0)) return Attempt::Aborted;
            view_.setStatusPanel(QStringLiteral("Sending Sector") + signedNumber(sector) +
                                 QStringLiteral("   Block") + signedNumber(block));
            // Past the end of the image the block is filled up with blanks.
            QByteArray data = image_.mid(offset, blockSize);
            data.append(QByteArray(blockSize - data.size(), ' '));
            offset += blockSize;
            link_.clearReplyBuffer();
            if (block == 0) sectorHandedOver = link_.clock().now();
            link_.write(data);
            // The block counts as sent once the port has taken all of it.
            if (!link_.drain(DrainLimit)) {
                return link_.aborted() ? Attempt::Aborted : Attempt::Stalled;
            }
            ++blocksSent;
            figures_.bytesSent += blockSize;
            view_.setProgress(blocksSent);
            view_.setPercent(signedNumber(qint64(blocksSent) * 100 / total) + QLatin1Char('%'));
        }
        view_.setStatusPanel(QStringLiteral("Writing Sector") + signedNumber(sector));
        answerOpens = std::max(
            link_.clock().now(),
            sectorHandedOver + double(BlocksPerSector) * double(blockSize) / LineBytesPerSecond);
    }

    // The module answers the last sector with "EN" at the start of what it sends.
    warte(0.5);
    if (link_.aborted()) return Attempt::Aborted;
    if (!waitForReply(WordEN, WordAt::Start, answerOpens)) {
        return link_.aborted() ? Attempt::Aborted : Attempt::Stalled;
    }

    image_.clear();
    view_.stopClock();
    if (!view_.lingerOnSuccess()) return Attempt::Success;
    warte(2);
    if (link_.aborted()) {
        endInReady();
        return Attempt::Success;
    }
    view_.setStatusPanel(QString());
    view_.setIndicatorBusy(false);
    view_.showTitle(fwtext::Success, TitleColour::Green);
    view_.showInstructions(QString(), QString());
    warte(3);
    if (link_.aborted()) {
        endInReady();
        return Attempt::Success;
    }
    view_.showReady();
    view_.beep();
    return Attempt::Success;
}

FirmwareTransfer::Outcome FirmwareTransfer::RunUpdate() {
    Link::SequenceScope scope(link_);
    figures_ = {};
    for (;;) {
        ++figures_.attempt;
        const Attempt a = runAttempt();
        switch (a) {
            case Attempt::Success:
                return Outcome::Success;
            case Attempt::Cancelled:
                return Outcome::Cancelled;
            case Attempt::NoConnection:
                return Outcome::NoConnection;
            case Attempt::PortClosed:
                return Outcome::PortClosed;
            case Attempt::Refused:
                file_.close();
                return Outcome::Refused;
            case Attempt::Aborted:
                // Nothing more is sent; the window is left as after any other end.
                file_.close();
                image_.clear();
                endInReady();
                return Outcome::Aborted;
            case Attempt::Stalled:
                break;
        }
        image_.clear();
        ++RetryCount;
        if (RetryCount >= MaxAttempts) {
            report(fwtext::UpdateFailed, fwtext::UpdateError);
            endInReady();
            file_.close();
            return Outcome::Failed;
        }
        // The next attempt reads the image afresh.
        view_.showTitle(fwtext::Error, TitleColour::Red);
        view_.showInstructions(fwtext::RestartEnglish, fwtext::RestartGerman);
        warte(2);
        if (link_.aborted()) {
            file_.close();
            endInReady();
            return Outcome::Aborted;
        }
    }
}

FirmwareTransfer::Outcome FirmwareTransfer::CheckModuleType() {
    Link::SequenceScope scope(link_);
    RetryCount = 0;
    figures_ = {};
    Outcome refused = Outcome::Refused;
    if (!prepare(true, &refused)) return refused;
    switch (UpdateStartHandshake(true)) {
        case Handshake::Answered:
        case Handshake::Cancelled:  // the check does not look at Cancel
            break;
        case Handshake::NoAnswer:
            report(text::ConnectionNotEstablished, fwtext::UpdateError);
            endInReady();
            return Outcome::NoConnection;
        case Handshake::Aborted:
            endInReady();
            return Outcome::Aborted;
    }
    view_.SelectFirmwareFile(true);
    link_.clearReplyBuffer();
    return RunUpdate();
}

}  // namespace meridan
