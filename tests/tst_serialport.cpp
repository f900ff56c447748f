// The real Qt serial port on a pseudo-terminal served by the simulated headend, in real time.
#include <dlfcn.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>
#include <QElapsedTimer>
#include <QtTest>
#include <memory>

#include "sim/ptyserver.h"
#include "support/rig.h"

using namespace meridan;
using namespace meridan::test;

namespace {
// A pseudo-terminal reports 8 data bits and no parity whatever it is asked, so what the port
// asks for is seen here: any request for other data bits or for parity.
bool askedOtherThan8N = false;
}  // namespace

extern "C" int tcsetattr(int fd, int action, const termios* tio) {
    using Real = int (*)(int, int, const termios*);
    static const auto real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "tcsetattr"));
    askedOtherThan8N |= (tio->c_cflag & CSIZE) != CS8 || (tio->c_cflag & PARENB) != 0;
    return real(fd, action, tio);
}

namespace {
// The simulated headend on a pseudo-terminal.
struct RealRig : RealLink {
    sim::HeadendModel model;
    std::unique_ptr<sim::PtyServer> server = std::make_unique<sim::PtyServer>(model);

    bool start() {
        QString why;
        if (!server->start(&why)) qWarning() << why;
        port.setDevicePath(server->slavePath());
        return port.open();
    }
};
}  // namespace

class TstSerialPort : public QObject {
    Q_OBJECT
  private Q_SLOTS:
    void exchangesBytesUnchanged();
    void lineSettingsOnTheDevice();
    void vanishedDeviceEndsTheWaitOnce();
};

void TstSerialPort::exchangesBytesUnchanged() {
    RealRig rig;
    QVERIFY(rig.start());
    QVERIFY(rig.link.connect_());
    // A text reply carrying every byte value but the ones the device cannot hold.
    QByteArray text;
    for (int b = 1; b < 256; ++b)
        text.append(char(b));
    rig.model.state().unitType = QString::fromLatin1(text);
    rig.link.clearReplyBuffer();
    QByteArray frame(15, '\0');
    frame[0] = 48;
    QVERIFY(rig.link.write(frame));
    QVERIFY(rig.link.get_data_(1));
    QCOMPARE(quint8(rig.link.ReplyBuffer().at(0)), quint8(255));
    rig.link.clearReplyBuffer();
    rig.link.write("N");
    QVERIFY(rig.link.get_data_(255));
    QCOMPARE(rig.link.ReplyBuffer(), text);
    QVERIFY(rig.model.violations().isEmpty());
}

void TstSerialPort::lineSettingsOnTheDevice() {
    // 57600 baud, 8 data bits, no parity, 1 stop bit, no flow control, read back from the
    // terminal the port opened, whatever it was set to before.
    RealRig rig;
    QString why;
    QVERIFY2(rig.server->start(&why), qPrintable(why));
    const QByteArray path = QFile::encodeName(rig.server->slavePath());
    const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    QVERIFY(fd >= 0);
    termios tio{};
    QCOMPARE(::tcgetattr(fd, &tio), 0);
    ::cfsetspeed(&tio, B9600);
    tio.c_cflag = (tio.c_cflag & ~CSIZE) | CS7 | PARENB | PARODD | CSTOPB | CRTSCTS;
    tio.c_iflag |= IXON | IXOFF;
    QCOMPARE(::tcsetattr(fd, TCSANOW, &tio), 0);
    QCOMPARE(::tcgetattr(fd, &tio), 0);
    QVERIFY((tio.c_cflag & (PARENB | CSTOPB | CRTSCTS)) && (tio.c_iflag & IXON));  // kept

    rig.port.setDevicePath(rig.server->slavePath());
    askedOtherThan8N = false;
    QVERIFY(rig.port.open());
    QVERIFY(!askedOtherThan8N);
    QCOMPARE(::tcgetattr(fd, &tio), 0);
    ::close(fd);
    QCOMPARE(::cfgetospeed(&tio), speed_t(B57600));
    QCOMPARE(::cfgetispeed(&tio), speed_t(B57600));
    QCOMPARE(tio.c_cflag & CSIZE, tcflag_t(CS8));
    QCOMPARE(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), tcflag_t(0));
    QCOMPARE(tio.c_iflag & (IXON | IXOFF), tcflag_t(0));
}

void TstSerialPort::vanishedDeviceEndsTheWaitOnce() {
    RealRig rig;
    QVERIFY(rig.start());
    QSignalSpy lost(&rig.link, &Link::portLost);
    QVERIFY(rig.link.connect_());
    rig.model.faults().silent = true;
    QTimer::singleShot(300, [&] { rig.server.reset(); });  // the device side goes away
    QElapsedTimer t;
    t.start();
    rig.link.clearReplyBuffer();
    QVERIFY(!rig.link.get_data_(1));
    QVERIFY2(t.elapsed() < 2000, qPrintable(QString::number(t.elapsed())));
    QCOMPARE(rig.messages.shown.size(), 1);
    QCOMPARE(rig.messages.shown[0].title, QStringLiteral("ComPortError"));
    QVERIFY(!rig.port.isOpen());
    // Let any queued errors arrive: still one report, and nothing written.
    QTest::qWait(200);
    QCOMPARE(rig.messages.shown.size(), 1);
    QCOMPARE(lost.count(), 1);
    QVERIFY(!rig.link.write("N"));
}

QTEST_GUILESS_MAIN(TstSerialPort)
#include "tst_serialport.moc"
