#include "inputfiles.h"

#include <QStandardPaths>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>
#include <QTemporaryFile>
#include <cerrno>
#include <cstring>

namespace meridan::plan {

namespace {

QString systemError() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

QString kindOf(mode_t mode) {
    if (S_ISDIR(mode)) return QStringLiteral("a folder");
    if (S_ISFIFO(mode)) return QStringLiteral("a FIFO");
    if (S_ISCHR(mode) || S_ISBLK(mode)) return QStringLiteral("a device");
    if (S_ISSOCK(mode)) return QStringLiteral("a socket");
    return QStringLiteral("not a file");
}

// A descriptor of the regular file at `path`, or -1 and the reason. O_NONBLOCK: opening a
// FIFO does not wait for a writer.
int openRegular(const QString& path, QString* error, struct stat* st) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (error) {
            *error = errno == ENOENT ? QStringLiteral("cannot be read: no such file")
                                     : QStringLiteral("cannot be read: ") + systemError();
        }
        return -1;
    }
    if (::fstat(fd, st) != 0 || !S_ISREG(st->st_mode)) {
        if (error)
            *error =
                QStringLiteral("cannot be read: not a regular file (%1)").arg(kindOf(st->st_mode));
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

std::optional<QByteArray> readRegularFile(const QString& path, qint64 maxBytes, QString* error) {
    struct stat st {};
    const int fd = openRegular(path, error, &st);
    if (fd < 0) return std::nullopt;
    auto tooLarge = [&] {
        if (error) {
            *error = QStringLiteral("is larger than %1 bytes, more than a profile can hold")
                         .arg(maxBytes);
        }
        ::close(fd);
        return std::nullopt;
    };
    if (st.st_size > maxBytes) return tooLarge();
    // Read one byte more than allowed: a file that grows meanwhile is refused too.
    QByteArray data(maxBytes + 1, Qt::Uninitialized);
    qint64 got = 0;
    while (got < data.size()) {
        const ssize_t n = ::read(fd, data.data() + got, static_cast<size_t>(data.size() - got));
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            if (error) *error = QStringLiteral("cannot be read: ") + systemError();
            ::close(fd);
            return std::nullopt;
        }
        got += n;
    }
    if (got > maxBytes) return tooLarge();
    ::close(fd);
    data.truncate(got);
    return data;
}

bool isReadableRegularFile(const QString& path, QString* error) {
    struct stat st {};
    const int fd = openRegular(path, error, &st);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

bool openTraceFile(QFile& file, const QString& path, QString* error) {
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) {
        if (error) {
            *error = errno == ENXIO ? QStringLiteral("not a regular file (a FIFO)") : systemError();
        }
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (error) *error = QStringLiteral("not a regular file (%1)").arg(kindOf(st.st_mode));
        ::close(fd);
        return false;
    }
    if (::ftruncate(fd, 0) != 0) {
        if (error) *error = systemError();
        ::close(fd);
        return false;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (!file.open(fd, QIODevice::WriteOnly | QIODevice::Unbuffered,
                   QFileDevice::AutoCloseHandle)) {
        if (error) *error = file.errorString();
        ::close(fd);
        return false;
    }
    return true;
}

QString writeTemporary(const QString& folder, const QByteArray& bytes, QString* error) {
    QByteArray path = QFile::encodeName(QDir(folder).filePath(QStringLiteral(".part-XXXXXX")));
    const int fd = ::mkostemp(path.data(), O_CLOEXEC);
    auto fail = [&](bool remove) {
        if (error) *error = systemError();
        if (fd >= 0) ::close(fd);
        if (remove) ::unlink(path.constData());
        return QString();
    };
    if (fd < 0) return fail(false);
    // As any new file: readable by others when the umask allows it.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return fail(true);
        done += n;
    }
    if (::fsync(fd) != 0) return fail(true);
    const int closed = ::close(fd);
    if (closed != 0) {
        if (error) *error = systemError();
        ::unlink(path.constData());
        return {};
    }
    return QFile::decodeName(path);
}

bool nameWithoutReplacing(const QString& from, const QString& to, QString* error) {
    const QByteArray a = QFile::encodeName(from), b = QFile::encodeName(to);
    auto failed = [&] {
        if (errno != EEXIST && error) *error = systemError();
        return false;
    };
    if (::link(a.constData(), b.constData()) == 0) {
        ::unlink(a.constData());
        return true;
    }
    if (errno == EEXIST) return failed();
    // A file system without hard links (a FAT stick).
    if (::renameat2(AT_FDCWD, a.constData(), AT_FDCWD, b.constData(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS) return failed();
    const int taken = ::open(b.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (taken < 0) return failed();
    ::close(taken);
    return ::rename(a.constData(), b.constData()) == 0 || failed();
}

bool replaceFile(const QString& path, const QByteArray& bytes, QString* error) {
    const QFileInfo info(path);
    const QString written = writeTemporary(info.absolutePath(), bytes, error);
    if (written.isEmpty()) return false;
    if (::rename(QFile::encodeName(written).constData(), QFile::encodeName(path).constData()) == 0)
        return true;
    if (error) *error = systemError();
    QFile::remove(written);
    return false;
}

namespace {
// The path with every link resolved; for a path that does not exist, its folder's.
QString resolvedPath(const QString& path) {
    const QFileInfo info(path);
    if (info.exists()) return info.canonicalFilePath();
    const QString folder = info.absoluteDir().canonicalPath();
    return folder.isEmpty() ? info.absoluteFilePath() : QDir(folder).filePath(info.fileName());
}
}  // namespace

bool sameFile(const QString& output, const QString& input) {
    struct stat a {
    }, b{};
    if (::stat(QFile::encodeName(output).constData(), &a) == 0 &&
        ::stat(QFile::encodeName(input).constData(), &b) == 0) {
        return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
    }
    return resolvedPath(output) == resolvedPath(input);
}

QString overwrittenInput(const QString& output, const QList<QPair<QString, QString>>& inputs) {
    for (const auto& [what, path] : inputs) {
        if (!path.isEmpty() && sameFile(output, path)) return what + QLatin1Char(' ') + path;
    }
    return {};
}

QString defaultBackupFolder() {
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation))
        .filePath(QStringLiteral("meridan/backups"));
}

bool canWriteFile(const QString& path, QString* why) {
    const QFileInfo info(path);
    if (info.exists() && !info.isFile()) {
        *why = QStringLiteral("is not a regular file");
        return false;
    }
    const QString probe = writeTemporary(info.absolutePath(), {}, why);
    if (probe.isEmpty()) return false;
    QFile::remove(probe);
    return true;
}

bool canWriteInFolder(const QString& folder, QString* why) {
    if (!QDir().mkpath(folder)) {
        *why = QStringLiteral("the folder %1 cannot be created").arg(folder);
        return false;
    }
    const QString probe = writeTemporary(folder, {}, why);
    if (probe.isEmpty()) return false;
    QFile::remove(probe);
    return true;
}

bool prepareBackupFolder(const QString& folder, QString* error) {
    if (!QDir().mkpath(folder)) {
        if (error) *error = QStringLiteral("the folder %1 cannot be created").arg(folder);
        return false;
    }
    QTemporaryFile probe(QDir(folder).filePath(QStringLiteral(".meridan-XXXXXX")));
    if (!probe.open()) {
        if (error) {
            *error = QStringLiteral("nothing can be written in the folder %1: %2")
                         .arg(folder, probe.errorString());
        }
        return false;
    }
    // An empty file can still be made on a full disk: the room is asked for too.
    const qint64 room = QStorageInfo(folder).bytesAvailable();
    if (room >= 0 && room < BackupRoomBytes) {
        if (error) {
            *error = QStringLiteral("the folder %1 has no room for a backup (%2 bytes free)")
                         .arg(folder)
                         .arg(room);
        }
        return false;
    }
    return true;
}

}  // namespace meridan::plan
