#include "rig.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>
#include <QTcpServer>

namespace meridan::test {

Pty::Pty() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return;
    char name[128] = {};
    if (::ptsname_r(master_, name, sizeof name) != 0) return;
    path_ = QString::fromLocal8Bit(name);
    // Our own descriptor of the device side keeps what was written readable after the
    // program under test has closed it.
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
}

Pty::~Pty() {
    if (slave_ >= 0) ::close(slave_);
    if (master_ >= 0) ::close(master_);
}

QByteArray Pty::received() {
    QByteArray out;
    char buf[4096];
    for (ssize_t n; (n = ::read(master_, buf, sizeof buf)) > 0;)
        out.append(buf, static_cast<qsizetype>(n));
    return out;
}

void Pty::send(const QByteArray& bytes) {
    [[maybe_unused]] const ssize_t n = ::write(master_, bytes.constData(), size_t(bytes.size()));
}

quint16 freeTcpPort() {
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    return s.serverPort();
}

MessageResult RecordingMessages::show(const QString& text, const QString& title, MessageIcon icon,
                                      MessageButtons buttons) {
    shown.append({text, title, icon, buttons});
    return answer;
}

QStringList RecordingMessages::texts() const {
    QStringList out;
    for (const auto& e : shown)
        out << e.title + QStringLiteral(": ") + e.text;
    return out;
}

QByteArray WireLog::sent() const {
    QByteArray out;
    for (const auto& c : chunks) {
        if (c.direction == WireDirection::ToDevice) out += c.bytes;
    }
    return out;
}

QByteArray WireLog::received() const {
    QByteArray out;
    for (const auto& c : chunks) {
        if (c.direction == WireDirection::FromDevice) out += c.bytes;
    }
    return out;
}

double WireLog::timeSent(const QByteArray& prefix, int occurrence) const {
    for (const auto& c : chunks) {
        if (c.direction == WireDirection::ToDevice && c.bytes.startsWith(prefix) &&
            occurrence-- == 0) {
            return c.time;
        }
    }
    return -1;
}

double WireLog::lastSent() const {
    double t = -1;
    for (const auto& c : chunks) {
        if (c.direction == WireDirection::ToDevice) t = c.time;
    }
    return t;
}

QList<QByteArray> WireLog::framesAfter(double time) const {
    QList<QByteArray> frames;
    for (const auto& c : chunks) {
        if (c.direction == WireDirection::ToDevice && c.time > time && c.bytes.size() == 15)
            frames.append(c.bytes);
    }
    return frames;
}

int WireLog::writes() const {
    int n = 0;
    for (const auto& c : chunks)
        n += c.direction == WireDirection::ToDevice;
    return n;
}

SimRig::SimRig() {
    model.setKeepFrames(true);
    link.setWireObserver(&wire);
    port.open();
}

}  // namespace meridan::test
