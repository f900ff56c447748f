// The simulated unit as a judge of the program: every rule of the line it claims to check is
// flagged when broken, and a correct exchange is not.
#include <QtTest>

#include "sim/headendmodel.h"

using namespace meridan::sim;

class TstSim : public QObject {
    Q_OBJECT
  private Q_SLOTS:
    void flagsEveryBrokenRule_data();
    void flagsEveryBrokenRule();
};

namespace {
QByteArray frame(const QByteArray& head) {
    return head + QByteArray(15 - head.size(), '\0');
}
const QByteArray Ts = "TS";
}  // namespace

void TstSim::flagsEveryBrokenRule_data() {
    QTest::addColumn<QList<QByteArray>>("sent");  // each written 0.1 s after the one before
    QTest::addColumn<QString>("violation");       // empty: none
    const QByteArray readSerial = frame("\x15");
    const QByteArray readInFreq3 = frame("\x18\x02");
    const QByteArray setSat = frame(QByteArray("\x17\x02\x01", 3));
    const QByteArray setFreq = frame(QByteArray("\x19\x00\x00\x00\x04\xb0", 6));
    const QByteArray end = frame("\x28");
    QTest::newRow("a correct exchange")
        << QList<QByteArray>{Ts, readSerial, "N", setSat, setFreq, end} << QString();
    QTest::newRow("a frame before a connection")
        << QList<QByteArray>{readSerial} << "before a connection";
    QTest::newRow("a frame after the end command")
        << QList<QByteArray>{Ts, end, readSerial} << "before a connection";
    QTest::newRow("an unknown command")
        << QList<QByteArray>{Ts, frame("\x63")} << "unknown command 99";
    QTest::newRow("a converter index of 12")
        << QList<QByteArray>{Ts, frame("\x18\x0c")} << "converter index 12";
    // The first byte after each layout's meaningful bytes must be zero.
    QByteArray f = readSerial;
    f[1] = 1;
    QTest::newRow("fill: plain") << QList<QByteArray>{Ts, f} << "fill byte 1 is not zero";
    f = readInFreq3;
    f[2] = 1;
    QTest::newRow("fill: converter") << QList<QByteArray>{Ts, f} << "fill byte 2 is not zero";
    f = setSat;
    f[3] = 1;
    QTest::newRow("fill: byte value") << QList<QByteArray>{Ts, f} << "fill byte 3 is not zero";
    f = setFreq;
    f[6] = 1;
    QTest::newRow("fill: long value") << QList<QByteArray>{Ts, f} << "fill byte 6 is not zero";
    f = setFreq;
    f[14] = 1;
    QTest::newRow("fill: last byte") << QList<QByteArray>{Ts, f} << "fill byte 14 is not zero";
    QTest::newRow("\"N\" when none is due") << QList<QByteArray>{Ts, "N"} << "\"N\" when no data";
    QTest::newRow("a frame instead of \"N\"")
        << QList<QByteArray>{Ts, readSerial, readSerial} << "expected \"N\"";
    QTest::newRow("a frame cut short")
        << QList<QByteArray>{Ts,           readSerial.left(7), QByteArray(), QByteArray(),
                             QByteArray(), QByteArray(),       QByteArray(), readSerial}
        << "incomplete frame of 7 bytes";
    QTest::newRow("an unknown word") << QList<QByteArray>{"TX"} << "unknown word";
    QTest::newRow("a sector count of 0")
        << QList<QByteArray>{"UP", QByteArray("OK\0", 3)} << "bad sector count";
}

void TstSim::flagsEveryBrokenRule() {
    QFETCH(QList<QByteArray>, sent);
    QFETCH(QString, violation);
    HeadendModel model;
    double t = 0;
    for (const QByteArray& bytes : sent) {
        t += 0.1;
        if (!bytes.isEmpty()) model.receive(bytes, t);
        model.takeOutput(t + 0.05);
    }
    model.takeOutput(t + 1);
    const QString seen = model.violations().join(QLatin1Char('\n'));
    if (violation.isEmpty())
        QVERIFY2(seen.isEmpty(), qPrintable(seen));
    else
        QVERIFY2(!seen.isEmpty() && model.violations().first().contains(violation),
                 qPrintable(seen));
}

QTEST_MAIN(TstSim)
#include "tst_sim.moc"
