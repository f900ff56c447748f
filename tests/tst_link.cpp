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
const QString NoReply = QStringLiteral("Connect Error: Connection aborted!");
}  // namespace

class TstLink : public QObject {
    Q_OBJECT
  private Q_SLOTS:
    void replyWaitTakesSurplusAndTimesOut();
    void connectGivesUpAfterFiftySeconds_data();
    void connectGivesUpAfterFiftySeconds();
    void connectAcceptsLateAnswers_data();
    void connectAcceptsLateAnswers();
    void connectRefusesClosedPort();
    void endMarkWait_data();
    void endMarkWait();
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
    QVERIFY(!rig.link.timedOutWithReply());  // 4 of 5 bytes: the unit stopped in the middle
    QCOMPARE(rig.messages.texts(), QStringList{NoReply});
    QCOMPARE(rig.messages.shown[0].icon, MessageIcon::Critical);
    QCOMPARE(rig.messages.cursorRestores, 1);
}

void TstLink::connectGivesUpAfterFiftySeconds_data() {
    QTest::addColumn<QByteArray>("afterOk");  // empty: the device is silent
    QTest::newRow("silent device") << QByteArray();
    QTest::newRow("\"OK\" followed by another byte") << QByteArray("x");
}

void TstLink::connectGivesUpAfterFiftySeconds() {
    QFETCH(QByteArray, afterOk);
    SimRig rig;
    rig.model.faults().silent = afterOk.isEmpty();
    rig.model.faults().lateAfterOk = afterOk;
    rig.model.faults().lateDelay = 0;
    QVERIFY(!rig.link.connect_());
    const double t = rig.clock.now();
    QVERIFY2(t > 50.0 && t < 56.0, qPrintable(QString::number(t)));
    // A "TS" about every 5 seconds.
    const int attempts = rig.wire.sent().count("TS");
    QVERIFY2(attempts == 10 || attempts == 11, qPrintable(QString::number(attempts)));
    QCOMPARE(rig.wire.sent(), QByteArray("TS").repeated(attempts));
    QVERIFY(std::abs(rig.wire.timeSent("TS", 1) - rig.wire.timeSent("TS", 0) - 5.0) < 0.05);
    QCOMPARE(rig.messages.texts().join(""), "Connect Error: Connection could not be established!");
    QCOMPARE(rig.messages.cursorRestores, 1);
    // Virtual time: thousands of passes at most, not a busy loop.
    QVERIFY(rig.pump.passes() < 1000);
}

void TstLink::connectAcceptsLateAnswers_data() {
    QTest::addColumn<int>("ignored");
    QTest::addColumn<double>("delay");
    QTest::addColumn<double>("okAt");
    QTest::newRow("first attempt answered") << 0 << 0.0 << 0.0;
    QTest::newRow("second attempt answered") << 1 << 0.0 << 5.0;
    QTest::newRow("OK 7 s after the first TS") << 0 << 7.0 << 7.0;
}

void TstLink::connectAcceptsLateAnswers() {
    QFETCH(int, ignored);
    QFETCH(double, delay);
    QFETCH(double, okAt);
    SimRig rig;
    rig.model.faults().ignoreConnects = ignored;
    rig.model.faults().replyDelay = delay;
    QVERIFY(rig.link.connect_());
    QCOMPARE(rig.wire.sent(), QByteArray("TS").repeated(okAt > 0 ? 2 : 1));
    const double t = rig.clock.now();  // half a second after the "OK"
    QVERIFY2(t >= okAt + 0.5 && t < okAt + 0.51, qPrintable(QString::number(t)));
    QVERIFY(rig.messages.shown.isEmpty());
}

void TstLink::connectRefusesClosedPort() {
    SimRig rig;
    rig.port.close();
    QVERIFY(!rig.link.connect_());
    QCOMPARE(rig.clock.now(), 0.0);
    QVERIFY(rig.wire.sent().isEmpty());
    QCOMPARE(rig.messages.texts(), QStringList{"ComPortError: No Com Port selected!"});
}

void TstLink::endMarkWait_data() {
    QTest::addColumn<QByteArray>("endMark");  // empty: none comes
    QTest::newRow("\"EN\" during a pause: taken at once") << QByteArray("EN");
    QTest::newRow("no \"EN\"") << QByteArray();
    QTest::newRow("\"EN\" followed by another byte") << QByteArray("ENx");
}

void TstLink::endMarkWait() {
    QFETCH(QByteArray, endMark);
    SimRig rig;
    rig.model.faults().endMark = endMark;
    QVERIFY(rig.link.connect_());
    rig.link.clearReplyBuffer();
    rig.link.write(EndFrame);
    rig.link.WaitSeconds(1.0);
    const double before = rig.clock.now();
    const bool ended = endMark == "EN";
    QCOMPARE(rig.link.disconnect_(), ended);
    const double waited = rig.clock.now() - before;
    QVERIFY2(ended ? waited == 0 : waited > 5.0 && waited < 5.05,
             qPrintable(QString::number(waited)));
    QCOMPARE(rig.messages.texts(), ended ? QStringList() : QStringList{NoReply});
}

void TstLink::abortEndsWaitsSilentlyAndStopsWrites() {
    SimRig rig;
    rig.model.faults().silent = true;
    {
        Link::SequenceScope scope(rig.link);
        rig.pump.at(12.0, [&] { rig.link.abort(); });
        QVERIFY(!rig.link.connect_());
        QCOMPARE(rig.clock.now(), 12.0);
        const QByteArray before = rig.wire.sent();
        QVERIFY(!rig.link.write("TS"));
        QVERIFY(!rig.link.get_data_(1));
        QVERIFY(!rig.link.disconnect_());
        rig.link.WaitSeconds(3);
        {
            // A sequence run inside the aborted one is aborted too.
            Link::SequenceScope inner(rig.link);
            QVERIFY(!rig.link.write("TS"));
        }
        QCOMPARE(rig.clock.now(), 12.0);
        QCOMPARE(rig.wire.sent(), before);
        QVERIFY(rig.messages.shown.isEmpty());
    }
    {
        // The next sequence may talk again.
        Link::SequenceScope scope(rig.link);
        QVERIFY(rig.link.write("TS"));
    }
    rig.link.shutdown();
    Link::SequenceScope scope(rig.link);
    QVERIFY(!rig.link.write("TS"));  // the program is ending: for good
}

void TstLink::lostPortEndsWaitAtOnceWithOneMessage() {
    SimRig rig;
    QSignalSpy lost(&rig.link, &Link::portLost);
    QVERIFY(rig.link.connect_());
    rig.model.faults().noReplyAt = 1;
    rig.link.write(SerialNoFrame);
    const double start = rig.clock.now();
    rig.pump.at(start + 1.0, [&] {
        rig.port.loseDevice();
        rig.port.injectEvent(PortEvent::Lost);  // the port reports its loss twice
    });
    QVERIFY(!rig.link.get_data_(4));
    QCOMPARE(rig.clock.now(), start + 1.0);
    QVERIFY(!rig.port.isOpen());
    // Later waits of the same sequence end at once and say nothing more.
    QVERIFY(!rig.link.disconnect_());
    QCoreApplication::processEvents();
    QCOMPARE(rig.messages.texts().join(""),
             "ComPortError: Com Port lost: sim:Com1 is no longer available!");
    QCOMPARE(lost.count(), 1);
}

void TstLink::overrunAndReceiveOverflowAreReported() {
    SimRig rig;
    rig.port.injectEvent(PortEvent::Overrun);
    rig.port.injectEvent(PortEvent::ReceiveOverflow);
    QCOMPARE(rig.messages.texts().join('|'),
             "Meridan Converter V1.0.0: Overrun!|Meridan Converter V1.0.0: RXOver!");
    QVERIFY(rig.port.isOpen());
}

void TstLink::portProbe() {
    SimRig rig;
    rig.port.close();
    rig.port.setAvailablePorts({3, 7});
    QCOMPARE(rig.link.probeComPorts(), (QList<int>{3, 7}));
    QVERIFY(!rig.port.isOpen());

    rig.port.setPortNumber(7);
    QVERIFY(rig.link.TestComPort(0));  // 0 tests the number already set
    QVERIFY(rig.port.open());
    QVERIFY(!rig.link.TestComPort(7));  // already open: fails, and is closed by the test
    QVERIFY(!rig.port.isOpen());
}

void TstLink::portMap() {
    // Numbers outside 1 to 15 have no device.
    QVERIFY(PortMap::defaultDevicePath(0).isEmpty() && PortMap::defaultDevicePath(16).isEmpty());

    QTemporaryDir dir;
    QSettings store(dir.filePath("Meridan Converter.conf"), QSettings::IniFormat);
    store.setValue("Ports/Com5", "/dev/pts/7");
    const PortMap map(&store);
    QCOMPARE(map.devicePath(5) + map.devicePath(6), "/dev/pts/7/dev/ttyUSB1");
    for (const auto& [name, n] : QList<QPair<QString, int>>{
             {"Com5", 5}, {"COM15", 15}, {"com16", 0}, {"Com0", 0}, {"/dev/ttyUSB0", 0}})
        QCOMPARE(parseComName(name), n);
}

QTEST_GUILESS_MAIN(TstLink)
#include "tst_link.moc"
