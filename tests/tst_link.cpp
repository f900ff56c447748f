// The link primitives against the simulated headend, in virtual time.
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include "link/portmap.h"
#include "support/rig.h"

using namespace meridan;
using namespace meridan::test;

namespace {
// Frames built by hand here, so these tests do not lean on the protocol library.
QByteArray frame(int code) {
    QByteArray f(15, '\0');
    f[0] = static_cast<char>(code);
    return f;
}
const QByteArray SerialNoFrame = frame(21);
const QByteArray EndFrame = frame(40);
}  // namespace

class TstLink : public QObject {
    Q_OBJECT
  private Q_SLOTS:
    void replyWaitTakesSurplusAndTimesOut();
    void connectToSilentDeviceGivesUpAfterFiftySeconds();
    void connectAcceptsLateAnswers_data();
    void connectAcceptsLateAnswers();
    void connectPausesHalfASecondAfterOk();
    void connectRefusesClosedPort();
    void endMarkerWait();
    void abortEndsWaitsSilentlyAndStopsWrites();
    void lostPortEndsWaitAtOnceWithOneMessage();
    void overrunAndReceiveOverflowAreReported();
    void portProbe();
    void portMap();
};

void TstLink::replyWaitTakesSurplusAndTimesOut() {
    SimRig rig;
    QVERIFY(rig.link.connect_());
    rig.link.clearReplyBuffer();
    rig.link.write(SerialNoFrame);
    QVERIFY(rig.link.get_data_(2));  // 4 bytes come: more than asked satisfies the wait
    rig.pump.runUntil(rig.clock.now() + 0.1);
    QCOMPARE(rig.link.ReplyBuffer().size(), 4);  // the surplus stays

    const double start = rig.clock.now();
    QVERIFY(!rig.link.get_data_(5));
    const double waited = rig.clock.now() - start;
    QVERIFY2(waited > 5.0 && waited < 5.05, qPrintable(QString::number(waited)));
    QCOMPARE(rig.messages.texts(),
             QStringList{QStringLiteral("Connect Error: Connection aborted!")});
    QCOMPARE(rig.messages.shown[0].icon, MessageIcon::Critical);
    QCOMPARE(rig.messages.cursorRestores, 1);
}

void TstLink::connectToSilentDeviceGivesUpAfterFiftySeconds() {
    SimRig rig;
    rig.model.faults().silent = true;
    QVERIFY(!rig.link.connect_());
    const double t = rig.clock.now();
    QVERIFY2(t > 50.0 && t < 56.0, qPrintable(QString::number(t)));
    const int attempts = rig.wire.sent().count("TS");
    QVERIFY2(attempts == 10 || attempts == 11, qPrintable(QString::number(attempts)));
    QCOMPARE(rig.wire.sent(), QByteArray("TS").repeated(attempts));
    // About every 5 seconds.
    QVERIFY(std::abs(rig.wire.timeSent("TS", 1) - rig.wire.timeSent("TS", 0) - 5.0) < 0.05);
    QCOMPARE(rig.messages.texts(),
             QStringList{QStringLiteral("Connect Error: Connection could not be established!")});
    QCOMPARE(rig.messages.cursorRestores, 1);
    // Virtual time: thousands of passes at most, not a busy loop.
    QVERIFY(rig.pump.passes() < 1000);
}

void TstLink::connectAcceptsLateAnswers_data() {
    QTest::addColumn<int>("ignored");
    QTest::addColumn<double>("delay");
    QTest::addColumn<double>("acceptedAt");
    QTest::newRow("second attempt answered") << 1 << 0.0 << 5.0;
    QTest::newRow("OK 7 s after the first TS") << 0 << 7.0 << 7.0;
}

void TstLink::connectAcceptsLateAnswers() {
    QFETCH(int, ignored);
    QFETCH(double, delay);
    QFETCH(double, acceptedAt);
    SimRig rig;
    rig.model.faults().ignoreConnects = ignored;
    rig.model.faults().replyDelay = delay;
    QVERIFY(rig.link.connect_());
    QCOMPARE(rig.wire.sent(), QByteArray("TSTS"));
    const double t = rig.clock.now();
    QVERIFY2(t >= acceptedAt + 0.5 && t < acceptedAt + 0.6, qPrintable(QString::number(t)));
    QVERIFY(rig.messages.shown.isEmpty());
}

void TstLink::connectPausesHalfASecondAfterOk() {
    SimRig rig;
    QVERIFY(rig.link.connect_());
    QCOMPARE(rig.wire.received(), QByteArray("OK"));
    const double okAt = rig.wire.chunks.last().time;
    QCOMPARE(rig.clock.now() - okAt, 0.5);
}

void TstLink::connectRefusesClosedPort() {
    SimRig rig;
    rig.port.close();
    QVERIFY(!rig.link.connect_());
    QCOMPARE(rig.clock.now(), 0.0);
    QVERIFY(rig.wire.sent().isEmpty());
    QCOMPARE(rig.messages.texts(),
             QStringList{QStringLiteral("ComPortError: No Com Port selected!")});
}

void TstLink::endMarkerWait() {
    SimRig rig;
    QVERIFY(rig.link.connect_());
    rig.link.clearReplyBuffer();
    rig.link.write(EndFrame);
    rig.link.WaitSeconds(1.0);  // "EN" arrives during the pause
    const double before = rig.clock.now();
    QVERIFY(rig.link.disconnect_());
    QCOMPARE(rig.clock.now(), before);  // taken at once

    // Nothing more comes: fails after 5 s.
    rig.link.clearReplyBuffer();
    QVERIFY(!rig.link.disconnect_());
    QVERIFY(rig.clock.now() - before > 5.0);
    QCOMPARE(rig.messages.texts(),
             QStringList{QStringLiteral("Connect Error: Connection aborted!")});
}

void TstLink::abortEndsWaitsSilentlyAndStopsWrites() {
    SimRig rig;
    rig.model.faults().silent = true;
    {
        Link::SequenceScope scope(rig.link);
        rig.pump.at(12.0, [&] { rig.link.abort(); });
        QVERIFY(!rig.link.connect_());
        QCOMPARE(rig.clock.now(), 12.0);
        QVERIFY(rig.messages.shown.isEmpty());
        const QByteArray before = rig.wire.sent();
        QVERIFY(!rig.link.write("TS"));
        QVERIFY(!rig.link.get_data_(1));
        QVERIFY(!rig.link.disconnect_());
        rig.link.WaitSeconds(3);
        QCOMPARE(rig.clock.now(), 12.0);
        QCOMPARE(rig.wire.sent(), before);
    }
    {
        // The next sequence may talk again.
        Link::SequenceScope scope(rig.link);
        QVERIFY(rig.link.write("TS"));
    }
    rig.link.shutdown();
    {
        Link::SequenceScope scope(rig.link);
        QVERIFY(!rig.link.write("TS"));  // the program is ending: for good
    }
}

void TstLink::lostPortEndsWaitAtOnceWithOneMessage() {
    SimRig rig;
    QSignalSpy lost(&rig.link, &Link::portLost);
    QVERIFY(rig.link.connect_());
    rig.link.clearReplyBuffer();
    rig.model.faults().noReplyAt = 1;
    rig.link.write(SerialNoFrame);
    const double start = rig.clock.now();
    rig.pump.at(start + 1.0, [&] {
        rig.port.loseDevice();
        rig.port.loseDevice();  // a second report of the same loss changes nothing
    });
    QVERIFY(!rig.link.get_data_(4));
    QCOMPARE(rig.clock.now(), start + 1.0);
    QCOMPARE(rig.messages.texts(),
             QStringList{
                 QStringLiteral("ComPortError: Com Port lost: sim:Com1 is no longer available!")});
    QVERIFY(!rig.port.isOpen());
    QCOMPARE(lost.count(), 1);
    // Later waits of the same sequence end at once and say nothing more.
    QVERIFY(!rig.link.disconnect_());
    QCoreApplication::processEvents();
    QCOMPARE(rig.messages.shown.size(), 1);
}

void TstLink::overrunAndReceiveOverflowAreReported() {
    SimRig rig;
    rig.port.injectEvent(PortEvent::Overrun);
    rig.port.injectEvent(PortEvent::ReceiveOverflow);
    QCOMPARE(rig.messages.texts(),
             (QStringList{QStringLiteral("Meridan Converter V1.0.0: Overrun!"),
                          QStringLiteral("Meridan Converter V1.0.0: RXOver!")}));
    QVERIFY(rig.port.isOpen());
}

void TstLink::portProbe() {
    SimRig rig;
    rig.port.close();
    rig.port.setAvailablePorts({3, 7});
    QCOMPARE(rig.link.probeComPorts(), (QList<int>{3, 7}));
    QVERIFY(!rig.port.isOpen());
    QCOMPARE(rig.port.portNumber(), 15);  // the last number tried

    rig.port.setPortNumber(7);
    QVERIFY(rig.link.TestComPort(0));  // 0 tests the number already set
    QCOMPARE(rig.port.portNumber(), 7);
    rig.port.setPortNumber(8);
    QVERIFY(!rig.link.TestComPort(0));

    rig.port.setPortNumber(3);
    QVERIFY(rig.port.open());
    QVERIFY(!rig.link.TestComPort(3));  // already open: fails, and is closed by the test
    QVERIFY(!rig.port.isOpen());
}

void TstLink::portMap() {
    QCOMPARE(PortMap::defaultDevicePath(1), QStringLiteral("/dev/ttyS0"));
    QCOMPARE(PortMap::defaultDevicePath(4), QStringLiteral("/dev/ttyS3"));
    QCOMPARE(PortMap::defaultDevicePath(5), QStringLiteral("/dev/ttyUSB0"));
    QCOMPARE(PortMap::defaultDevicePath(12), QStringLiteral("/dev/ttyUSB7"));
    QCOMPARE(PortMap::defaultDevicePath(13), QStringLiteral("/dev/ttyACM0"));
    QCOMPARE(PortMap::defaultDevicePath(15), QStringLiteral("/dev/ttyACM2"));
    QVERIFY(PortMap::defaultDevicePath(0).isEmpty());
    QVERIFY(PortMap::defaultDevicePath(16).isEmpty());

    QTemporaryDir dir;
    QSettings store(dir.filePath(QStringLiteral("Meridan Converter.conf")), QSettings::IniFormat);
    store.setValue(QStringLiteral("Ports/Com5"), QStringLiteral("/dev/pts/7"));
    const PortMap map(&store);
    QCOMPARE(map.devicePath(5), QStringLiteral("/dev/pts/7"));
    QCOMPARE(map.devicePath(6), QStringLiteral("/dev/ttyUSB1"));
    QVERIFY(map.devicePath(0).isEmpty());

    QCOMPARE(parseComName(QStringLiteral("Com5")), 5);
    QCOMPARE(parseComName(QStringLiteral("COM15")), 15);
    QCOMPARE(parseComName(QStringLiteral("com16")), 0);
    QCOMPARE(parseComName(QStringLiteral("Com0")), 0);
    QCOMPARE(parseComName(QStringLiteral("/dev/ttyUSB0")), 0);
}

QTEST_GUILESS_MAIN(TstLink)
#include "tst_link.moc"
