// The lock monitor against the simulated headend in virtual time (the exact bytes of a round,
// the stop, a unit that falls silent, a port that goes away), and meridan-cli monitor against
// meridan-headend-sim --lock-changes on a pseudo-terminal.
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include "protocol/frame.h"
#include "protocol/monitor.h"
#include "sim/simprocess.h"
#include "support/rig.h"

using namespace meridan;
using namespace meridan::test;

namespace {

struct Seen final : MonitorObserver {
    QList<MonitorRound> rounds;
    QList<double> silentSince;
    QList<double> silentAt;
    int reconnects = 0;
    Clock* clock = nullptr;
    void round(const MonitorRound& r) override { rounds.append(r); }
    void silent(double since) override {
        silentSince.append(since);
        silentAt.append(clock->now());
    }
    void reconnected() override { ++reconnects; }
};

// A paced unit (so virtual time moves with the bytes) and a monitor on its link.
struct Bench {
    SimRig rig;
    Seen seen;
    LockMonitor monitor{rig.link, seen};
    Bench() {
        rig.model.setPaced(true);
        seen.clock = &rig.clock;
    }
};

QByteArray exchange(int code, int converter) {
    return CommandFrame::forConverter(std::uint8_t(code), std::uint8_t(converter)).bytes() + "N";
}

const QByteArray EndFrame = CommandFrame::plain(40).bytes();

}  // namespace

class TstMonitor : public QObject {
    Q_OBJECT
  private Q_SLOTS:
    void roundOnTheWire_data();
    void roundOnTheWire();
    void confirmedLockReads_data();
    void confirmedLockReads();
    void stopEndsAfterTheExchange_data();
    void stopEndsAfterTheExchange();
    void silentUnitIsReconnected();
    void stopWhileSilentOrPortLost_data();
    void stopWhileSilentOrPortLost();
    void cliFollowsTheLockChanges();
};

void TstMonitor::roundOnTheWire_data() {
    QTest::addColumn<int>("converter");
    QTest::addColumn<bool>("outputLock");
    QTest::newRow("all twelve, both locks") << -1 << false;
    QTest::newRow("converter 4, input lock") << 3 << false;
    QTest::newRow("converter 12, both locks") << 11 << true;
}

void TstMonitor::roundOnTheWire() {
    QFETCH(int, converter);
    QFETCH(bool, outputLock);
    Bench b;
    // Values the unit reports: a lost input lock, an output lock of 2 ("Unknown").
    b.rig.model.state().channels[3].inputLock = 0;
    b.rig.model.state().channels[11].outputLock = 2;
    b.rig.model.state().channels[11].inputLock = 1;
    const MonitorChoice choice{converter, outputLock};
    const MonitorOutcome out = b.monitor.run(choice, 2);

    QCOMPARE(out.end, MonitorEnd::Done);
    QCOMPARE(out.rounds, 2L);
    QVERIFY(out.ended);
    QCOMPARE(b.seen.rounds.size(), 2);
    const MonitorRound& r = b.seen.rounds[1];
    QCOMPARE(r.number, 2L);
    QByteArray round;
    for (int i = 0; i < ConverterCount; ++i) {
        if (choice.reads(i, LockSide::Input)) round += exchange(26, i);
        if (choice.reads(i, LockSide::Output)) round += exchange(29, i);
        const auto& c = b.rig.model.state().channels[i];
        QCOMPARE(r.input[i],
                 choice.reads(i, LockSide::Input) ? std::optional(c.inputLock) : std::nullopt);
        QCOMPARE(r.output[i],
                 choice.reads(i, LockSide::Output) ? std::optional(c.outputLock) : std::nullopt);
    }
    QCOMPARE(b.rig.wire.sent(), "TS" + round + round + EndFrame);
    QVERIFY(b.rig.model.violations().isEmpty() && b.rig.messages.shown.isEmpty());
    // Back to back at the line rate: 19 bytes an exchange.
    const int exchanges = round.count('N');
    QVERIFY(qAbs((r.time - b.seen.rounds[0].time) - exchanges * 19 / 5760.0) < 1e-3);
}

void TstMonitor::confirmedLockReads_data() {
    // Noise on the first N lock reads of converter 1 (its input lock, locked); whether every
    // value is read twice; what round 1 shows and the repeated reads.
    QTest::addColumn<int>("noisy");
    QTest::addColumn<bool>("confirm");
    QTest::addColumn<int>("shown");  // -1: left out
    QTest::addColumn<long>("repeated");
    QTest::newRow("not confirmed: the noise is shown") << 1 << false << 0x71 << 0L;
    QTest::newRow("confirmed: read again until two agree") << 1 << true << 1 << 1L;
    QTest::newRow("confirmed, never agreeing: left out") << 5 << true << -1 << 3L;
}

void TstMonitor::confirmedLockReads() {
    QFETCH(int, noisy);
    QFETCH(bool, confirm);
    QFETCH(int, shown);
    QFETCH(long, repeated);
    Bench b;
    b.rig.model.faults().garbleAt = 1;
    b.rig.model.faults().garbleCount = noisy;
    b.monitor.setConfirm(confirm);
    QCOMPARE(b.monitor.run({0, false}, 2).end, MonitorEnd::Done);
    const MonitorRound& r = b.seen.rounds[0];
    QCOMPARE(r.input[0], shown < 0 ? std::nullopt : std::optional(std::uint8_t(shown)));
    QCOMPARE(b.seen.rounds[1].input[0], std::optional(std::uint8_t(1)));
    QCOMPARE(b.monitor.repeatedReads(), repeated);
    QCOMPARE(b.monitor.unsettledValues(), shown < 0 ? 1L : 0L);
}

void TstMonitor::stopEndsAfterTheExchange_data() {
    QTest::addColumn<double>("at");
    QTest::addColumn<bool>("byLink");
    // A round of all twelve takes 79 ms; the frame of an exchange 2.6 ms of its 3.3 ms.
    QTest::newRow("inside a frame") << 0.5 + 0.0792 * 3 + 0.001 << false;
    QTest::newRow("Ctrl+C of the command line") << 0.5 + 0.0792 * 7 + 0.0300 << true;
}

void TstMonitor::stopEndsAfterTheExchange() {
    QFETCH(double, at);
    QFETCH(bool, byLink);
    Bench b;
    b.rig.pump.at(at, [&] { byLink ? b.rig.link.requestStop() : b.monitor.stop(); });
    const MonitorOutcome out = b.monitor.run({});
    QCOMPARE(out.end, MonitorEnd::Stopped);
    QVERIFY(out.ended);
    // Nothing but the end command starts after the stop, and nothing follows it.
    QCOMPARE(b.rig.wire.framesAfter(at), QList<QByteArray>{EndFrame});
    const QByteArray sent = b.rig.wire.sent();
    QVERIFY(sent.endsWith("N" + EndFrame));
    QVERIFY(b.rig.model.violations().isEmpty());

    if (byLink) return;
    // The monitor's own stop is over once it has returned: the next Start runs.
    const MonitorOutcome again = b.monitor.run({2, false}, 3);
    QCOMPARE(again.end, MonitorEnd::Done);
    QCOMPARE(again.rounds, 3L);
}

void TstMonitor::silentUnitIsReconnected() {
    // Longer than a whole connection request (50 s): the requests go on.
    const double silence = 120.0;
    Bench b;
    b.rig.pump.at(2.0, [&] { b.rig.model.faults().silent = true; });
    b.rig.pump.at(2.0 + silence, [&] { b.rig.model.faults().silent = false; });
    b.rig.pump.at(2.0 + silence + 10, [&] { b.monitor.stop(); });
    const MonitorOutcome out = b.monitor.run({});

    QCOMPARE(out.end, MonitorEnd::Stopped);
    QVERIFY(out.ended);
    // No message box for any of it.
    QVERIFY2(b.rig.messages.shown.isEmpty(), qPrintable(b.rig.messages.texts().join('\n')));
    QCOMPARE(b.seen.silentSince.size(), 1);
    QCOMPARE(b.seen.reconnects, 1);
    // Silent since the last answer, told once its 5 s have passed.
    const double lastAnswer = b.seen.silentSince[0];
    QVERIFY2(qAbs(lastAnswer - 2.0) < 0.004, qPrintable(QString::number(lastAnswer)));
    QVERIFY(b.seen.silentAt[0] > lastAnswer + 5.0 && b.seen.silentAt[0] < 2.0 + 5.1);
    // A connection request about every 5 s while it is silent, rounds again once it answers.
    const int requests = b.rig.model.connectRequests();
    QVERIFY2(requests >= 1 + int(silence / 5.0) - 1 && requests <= 2 + int(silence / 5.0) + 1,
             qPrintable(QString::number(requests)));
    QVERIFY(b.seen.rounds.last().time > 2.0 + silence + 9.0);
}

void TstMonitor::stopWhileSilentOrPortLost_data() {
    QTest::addColumn<double>("at");
    QTest::addColumn<double>("within");
    QTest::addColumn<QString>("message");  // the title of the one box; empty: none
    // The exchange in progress fails first; the unit is not sent anything more.
    QTest::newRow("stop awaiting an answer") << 4.0 << 3.1 << "";
    // There is no connection to end: the wait for one ends at once.
    QTest::newRow("stop awaiting the connection") << 12.0 << 0.01 << "";
    // The port goes away while the unit answers: one message, nothing more sent.
    QTest::newRow("port lost") << 1.3 << 0.01 << "ComPortError";
}

void TstMonitor::stopWhileSilentOrPortLost() {
    QFETCH(double, at);
    QFETCH(double, within);
    QFETCH(QString, message);
    const bool lost = !message.isEmpty();
    Bench b;
    if (!lost) b.rig.pump.at(2.0, [&] { b.rig.model.faults().silent = true; });
    b.rig.pump.at(at, [&] { lost ? b.rig.port.loseDevice() : b.monitor.stop(); });
    const MonitorOutcome out = b.monitor.run({});
    QCOMPARE(out.end, lost ? MonitorEnd::PortLost : MonitorEnd::Stopped);
    QVERIFY(!out.ended && !out.connected);
    QVERIFY(b.rig.clock.now() < at + within);
    QVERIFY(b.rig.wire.framesAfter(at).isEmpty());
    QCOMPARE(b.rig.messages.shown.size(), lost ? 1 : 0);
    if (lost) QCOMPARE(b.rig.messages.shown[0].title, message);
}

// meridan-cli monitor --json against the simulator whose locks move every 0.25 s: in step k
// converter k mod 12 is off its lock (sim/headendmodel.h, LockPattern). Converters 11 and 12
// have no carrier and are never locked. Then monitor | head -3: once nobody reads its rounds,
// the tool ends the communication and exits as after Ctrl+C, instead of dying of SIGPIPE in
// the middle of an exchange.
void TstMonitor::cliFollowsTheLockChanges() {
    sim::SimProcess sim(QStringLiteral(MERIDAN_SIM));
    const QString tty = sim.start({"--paced", "--lock-changes", "0.25"});
    QVERIFY(!tty.isEmpty());
    QProcess cli;
    QTemporaryDir home;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", home.path());
    cli.setProcessEnvironment(env);
    cli.start(QStringLiteral(MERIDAN_CLI), {"--port", tty, "monitor", "--rounds", "20", "--json"});
    QVERIFY(cli.waitForFinished(60000));
    QString err = QString::fromLocal8Bit(cli.readAllStandardError());
    QVERIFY2(cli.exitStatus() == QProcess::NormalExit && cli.exitCode() == 0, qPrintable(err));
    QVERIFY2(err.contains("20 rounds") && err.contains("communication ended"), qPrintable(err));

    const QList<QByteArray> lines = cli.readAllStandardOutput().trimmed().split('\n');
    QCOMPARE(lines.size(), 20 * ConverterCount);
    // Per converter, the input lock of the round before; the converters that lost it and the
    // ones that found it again afterwards.
    QList<QString> before(ConverterCount + 1);
    QSet<int> lost, regained;
    for (int k = 0; k < lines.size(); ++k) {
        const QJsonObject o = QJsonDocument::fromJson(lines[k]).object();
        const int c = o["converter"].toInt();
        QCOMPARE(o["round"].toInt(), 1 + k / ConverterCount);
        QCOMPARE(c, 1 + k % ConverterCount);
        const QString in = o["input_lock"].toString();
        if (c > 10) continue;
        // Off its lock in step k = c - 1 (mod 12): "Unknown" (value 2) when k mod 3 is 2.
        const bool locked = in == QLatin1String("Locked");
        if (!locked) {
            QCOMPARE(in, (c - 1) % 3 == 2 ? QStringLiteral("Unknown") : QStringLiteral("Unlocked"));
            QCOMPARE(o["input_value"].toInt(), (c - 1) % 3 == 2 ? 2 : 0);
        }
        if (!before[c].isEmpty() && before[c] != in) {
            QVERIFY(o["changed"].toBool());
            (locked ? regained : lost).insert(c);
        }
        before[c] = in;
    }
    // 20 rounds of 79 ms span five or six steps of 0.25 s; the losses of the converters off
    // their lock in them are seen, and their return to the lock a step later. (The output lock
    // is read after the input lock in a round, so a step can change between the two; only the
    // input's changes are counted here.)
    QVERIFY2(lost.size() >= 3, qPrintable(QString::number(lost.size())));
    QVERIFY2((lost & regained).size() >= 2, qPrintable(QString::number(regained.size())));

    QProcess piped;
    piped.setProcessEnvironment(env);
    piped.start("/bin/sh", {"-c",
                            "{ \"$0\" --port \"$1\" monitor --converter 1 --confirm; "
                            "echo \"exit $?\" >&2; } | head -3",
                            QStringLiteral(MERIDAN_CLI), tty});
    QVERIFY(piped.waitForFinished(10000));
    QCOMPARE(piped.readAllStandardOutput().count('\n'), 3);
    err = QString::fromLocal8Bit(piped.readAllStandardError());
    QVERIFY2(err.contains("standard output is closed") &&
                 err.contains("every value read twice: ") &&
                 err.endsWith("communication ended\nexit 0\n"),
             qPrintable(err));
}

QTEST_GUILESS_MAIN(TstMonitor)
#include "tst_monitor.moc"
