#include "firmwareimage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace meridan {

namespace {

QString cannotBeRead(const QString& path, const QString& why) {
    return QStringLiteral("The firmware image %1 cannot be read: %2")
        .arg(QDir::toNativeSeparators(path), why);
}

// Why an image of `size` bytes cannot be sent; empty when it can.
QString sizeError(const QString& path, qint64 size) {
    const QString shown = QDir::toNativeSeparators(path);
    const qint64 sectors = sectorCount(size);
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
    // O_NONBLOCK: a FIFO in its place must not wait for a writer; it is never ready.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat st {};
    struct flock lock {};
    lock.l_type = F_RDLCK;
    lock.l_whence = SEEK_SET;
    const bool ok =
        ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::fcntl(fd, F_SETLK, &lock) == 0;
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
    const QFileInfo info(path);
    if (!info.exists() || info.isDir()) {
        c.error = cannotBeRead(
            path, info.isDir() ? QStringLiteral("it is a folder") : QStringLiteral("no such file"));
        return c;
    }
    // A FIFO or a device would wait for a writer or never end.
    if (!info.isFile()) {
        c.error = cannotBeRead(path, QStringLiteral("it is not a regular file"));
        return c;
    }
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        c.error = cannotBeRead(path, f.errorString());
        return c;
    }
    c.size = f.size();
    c.sectors = sectorCount(c.size);
    c.error = sizeError(path, c.size);
    return c;
}

std::variant<QByteArray, QString> readFirmwareImage(const QString& path) {
    const ImageCheck check = checkFirmwareImage(path);
    if (!check.error.isEmpty()) return check.error;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return cannotBeRead(path, file.errorString());
    const qint64 size = file.size();
    if (QString error = sizeError(path, size); !error.isEmpty()) return error;
    QByteArray bytes(size, Qt::Uninitialized);
    qint64 got = 0;
    while (got < size) {
        const qint64 n = file.read(bytes.data() + got, size - got);
        if (n <= 0) break;
        got += n;
    }
    if (got < size) {
        return QStringLiteral(
                   "The firmware image %1 could not be read whole: only %2 of its %3 bytes. "
                   "Nothing of it was sent.")
            .arg(QDir::toNativeSeparators(path))
            .arg(got)
            .arg(size);
    }
    return bytes;
}

}  // namespace meridan
