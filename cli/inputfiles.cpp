#include "inputfiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>
#include <cerrno>
#include <cstring>

namespace meridan::cli {

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
    return true;
}

}  // namespace meridan::cli
