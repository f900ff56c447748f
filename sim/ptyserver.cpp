#include "ptyserver.h"

#include "timerfd.h"

#include <fcntl.h>
#include <sys/timerfd.h>
#include <termios.h>
#include <unistd.h>
#include <QFile>
#include <QSocketNotifier>
#include <QTextStream>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace meridan::sim {

namespace {

QString systemError(const char* what) {
    return QStringLiteral("%1: %2").arg(QLatin1String(what),
                                        QString::fromLocal8Bit(std::strerror(errno)));
}
}  // namespace

PtyServer::PtyServer(HeadendModel& model, QObject* parent) : QObject(parent), model_(model) {}

PtyServer::~PtyServer() {
    removeLink();
    readNotifier_.reset();
    writeNotifier_.reset();
    timerNotifier_.reset();
    if (timer_ >= 0) ::close(timer_);
    if (slave_ >= 0) ::close(slave_);
    if (master_ >= 0) ::close(master_);
}

void PtyServer::setVerbose(bool verbose) {
    verbose_ = verbose;
    model_.setFrameObserver(
        verbose ? [](const HeadendModel::FrameRecord&
                         f) { QTextStream(stderr) << "frame " << f.frame.toHex(' ') << '\n'; }
                : std::function<void(const HeadendModel::FrameRecord&)>());
}

bool PtyServer::start(QString* error) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
        if (error) *error = systemError("pseudo-terminal");
        return false;
    }
    char name[128] = {};
    if (::ptsname_r(master_, name, sizeof name) != 0) {
        if (error) *error = systemError("ptsname");
        return false;
    }
    slavePath_ = QString::fromLocal8Bit(name);
    // Keep a slave descriptor of our own: the master then never reads EIO while the program
    // under test has the port closed, and the line discipline stays raw (no echo of our own
    // answers, no character translation).
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) {
        if (error) *error = systemError("open slave");
        return false;
    }
    termios tio{};
    if (::tcgetattr(slave_, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::cfsetspeed(&tio, B57600);
        ::tcsetattr(slave_, TCSANOW, &tio);
    }
    timer_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (timer_ < 0) {
        if (error) *error = systemError("timerfd");
        return false;
    }
    readNotifier_ = std::make_unique<QSocketNotifier>(master_, QSocketNotifier::Read);
    connect(readNotifier_.get(), &QSocketNotifier::activated, this, &PtyServer::onReadable);
    writeNotifier_ = std::make_unique<QSocketNotifier>(master_, QSocketNotifier::Write);
    writeNotifier_->setEnabled(false);
    connect(writeNotifier_.get(), &QSocketNotifier::activated, this, &PtyServer::onWritable);
    timerNotifier_ = std::make_unique<QSocketNotifier>(timer_, QSocketNotifier::Read);
    connect(timerNotifier_.get(), &QSocketNotifier::activated, this, &PtyServer::onTimer);
    return true;
}

bool PtyServer::createLink(const QString& path, QString* error) {
    QFile::remove(path);
    if (!QFile::link(slavePath_, path)) {
        if (error) *error = QStringLiteral("cannot create the link %1").arg(path);
        return false;
    }
    linkPath_ = path;
    return true;
}

void PtyServer::removeLink() {
    if (linkPath_.isEmpty()) return;
    if (QFile::symLinkTarget(linkPath_) == slavePath_) QFile::remove(linkPath_);
    linkPath_.clear();
}

void PtyServer::onReadable() {
    char buf[4096];
    for (;;) {
        const qint64 room = inputRoom(model_, clock_.now(), sizeof buf);
        if (room <= 0) {
            readPaused_ = true;
            readNotifier_->setEnabled(false);
            break;
        }
        const ssize_t n = ::read(master_, buf, static_cast<size_t>(room));
        if (n > 0) {
            model_.receive(QByteArray(buf, static_cast<int>(n)), clock_.now());
            continue;
        }
        break;  // EAGAIN: all read. EIO cannot happen while we hold the slave open.
    }
    flushDue();
}

void PtyServer::onTimer() {
    std::uint64_t expirations = 0;
    [[maybe_unused]] const ssize_t n = ::read(timer_, &expirations, sizeof expirations);
    if (readPaused_ && clock_.now() >= resumeReadingAt(model_)) {
        readPaused_ = false;
        readNotifier_->setEnabled(true);
        onReadable();
        return;
    }
    flushDue();
}

void PtyServer::flushDue() {
    pending_.append(model_.takeOutput(clock_.now()));
    writePending();
    if (verbose_) {
        QTextStream err(stderr);
        happenings_.report(model_, err);
    }
    schedule();
}

void PtyServer::writePending() {
    while (!pending_.isEmpty()) {
        const ssize_t n =
            ::write(master_, pending_.constData(), static_cast<size_t>(pending_.size()));
        if (n > 0) {
            pending_.remove(0, n);
            continue;
        }
        break;  // EAGAIN: the program under test is not reading; go on when it does.
    }
    writeNotifier_->setEnabled(!pending_.isEmpty());
}

void PtyServer::onWritable() {
    writePending();
}

void PtyServer::schedule() {
    double next = model_.nextEventTime();
    if (readPaused_) next = std::min(next, resumeReadingAt(model_));
    armTimerFd(timer_, next, clock_.now());
}

}  // namespace meridan::sim
