// meridan-cli against meridan-headend-sim on a real pseudo-terminal, in real time, and the
// checks of profile files.
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSettings>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <sys/resource.h>
#include <sys/stat.h>
#include <csignal>

#include "cli/clitool.h"
#include "cli/fleet.h"
#include "cli/portidentity.h"
#include "cli/unitresult.h"
#include "link/portmap.h"
#include "plan/profile.h"
#include "sim/simprocess.h"
#include "sim/statefile.h"
#include "support/rig.h"

using namespace meridan;
using meridan::test::Pty;

namespace {

QJsonObject goodProfile() {
    QJsonArray channels;
    for (int i = 0; i < 12; ++i) {
        channels.append(
            QJsonObject{{"carrier", 1}, {"sat", 1 + i % 4}, {"input_mhz", 1000 + i}, {"gain", 0}});
    }
    return QJsonObject{{"format", 1}, {"channels", channels}};
}

QJsonObject withChannel(QJsonObject o, int i, const QString& key, const QJsonValue& v) {
    QJsonArray ch = o["channels"].toArray();
    QJsonObject c = ch[i].toObject();
    c[key] = v;
    ch[i] = c;
    o["channels"] = ch;
    return o;
}

struct Run {
    int code = -1;  // -2: crashed, -3: still running at the time limit (killed)
    QString out, err;
    qint64 ms = 0;  // how long it ran
};

// A home of its own for the programs (settings, data folder, files) and a simulator.
class Tools {
  public:
    Tools() {
        env_.insert(QStringLiteral("XDG_CONFIG_HOME"), home_.path());
        env_.insert(QStringLiteral("XDG_DATA_HOME"), path("data"));
        sim_.process().setProcessEnvironment(env_);
        file("plan.json", QJsonDocument(goodProfile()).toJson());
    }
    // Starts the simulator and returns its terminal's path.
    QString startSim(const QStringList& args) { return sim_.start(args); }
    // The next `n` lines the simulator prints (the further units' addresses).
    QStringList simLines(int n) { return sim_.readLines(n); }

    // Runs a program; "@NAME" in `args` stands for path(NAME). `interrupt` is called once
    // while the program runs.
    Run run(const char* program, QStringList args, int limitMs = 120000,
            const std::function<void(QProcess&)>& interrupt = {}) {
        for (QString& a : args) {
            if (a.startsWith(QLatin1Char('@'))) a = path(a.mid(1));
        }
        QProcess p;
        QElapsedTimer timer;
        timer.start();
        p.setProcessEnvironment(env_);
        if (childSetup) p.setChildProcessModifier(childSetup);
        p.start(QLatin1String(program), args);
        p.waitForStarted(5000);
        if (interrupt) interrupt(p);
        Run r;
        // An interrupt that waits in the event loop may have seen the program end already.
        if (p.state() != QProcess::NotRunning && !p.waitForFinished(limitMs)) {
            p.kill();
            p.waitForFinished(5000);
            r.code = -3;
        } else {
            r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
        }
        r.ms = timer.elapsed();
        r.out = QString::fromLocal8Bit(p.readAllStandardOutput());
        r.err = QString::fromLocal8Bit(p.readAllStandardError());
        return r;
    }
    Run cli(const QStringList& args, int limitMs = 120000,
            const std::function<void(QProcess&)>& interrupt = {}) {
        return run(MERIDAN_CLI, args, limitMs, interrupt);
    }

    QString file(const QString& name, const QByteArray& content) {
        QDir().mkpath(QFileInfo(path(name)).path());
        QFile f(path(name));
        if (f.open(QIODevice::WriteOnly)) f.write(content);
        return path(name);
    }
    QString path(const QString& name) const { return home_.path() + QLatin1Char('/') + name; }
    // Run in each program started, before it starts (limits of the process).
    std::function<void()> childSetup;
    QString read(const QString& name) const {
        QFile f(path(name));
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }

  private:
    QTemporaryDir home_;
    QProcessEnvironment env_ = QProcessEnvironment::systemEnvironment();
    sim::SimProcess sim_{QStringLiteral(MERIDAN_SIM)};
};

// A row of nothingReachesThePort.
void row(const QStringList& args, int code, const char* message, const QByteArray& inventory = {}) {
    QTest::addRow("%s: %s", qPrintable(args.join(' ')), message)
        << args << code << QString::fromUtf8(message) << inventory;
}

}  // namespace

class TstCli : public QObject {
    Q_OBJECT
  private Q_SLOTS:
    void portIdentity_data();
    void portIdentity();
    void unitEvents();
    void profileChecks_data();
    void profileChecks();
    void nothingReachesThePort_data();
    void nothingReachesThePort();
    void readDiffWriteRestore();
    void oddValuesAreShownAndRestored();
    void exchangeThatDoesNotComplete_data();
    void exchangeThatDoesNotComplete();
    void noisyLine();
    void filesThatCannotBeWritten();
    void onARealLine_data();
    void onARealLine();
    void fleetHangUpAndCrash();
    void fleetWithFewFileHandles();
    void flash();
    void portsAndSettings();
    void helpAndVersion();
    void fleetOfEightUnits();
};

void TstCli::portIdentity_data() {
    // Two ports, and whether they reach one line; "@" is a folder of the test's own, where
    // Com5 is pointed at @dev, and names are looked up in @hosts only.
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<bool>("same");
    auto row = [](const char* a, const char* b, bool same) {
        QTest::addRow("%s %s", a, b) << QString(a) << QString(b) << same;
    };
    row("tcp://cabinet-3:4001", "rfc2217://10.0.0.7:04001", true);
    row("tcp://CABINET-3.example.:4001", "tcp://10.0.0.7:4001", true);
    row("tcp://cabinet-3:4001", "tcp://cabinet-3:4002", false);
    row("tcp://[::ffff:127.0.0.1]:5", "tcp://127.0.0.1:5", true);
    row("tcp://[::1]:5", "tcp://localhost:5", true);
    row("tcp://roof.example:1", "tcp://ROOF.example:1", true);
    row("tcp://roof.example:1", "tcp://cellar.example:1", false);
    row("Com5", "@dev", true);
    row("Com5", "@x/../dev", true);
    row("Com6", "@dev", false);
}

void TstCli::portIdentity() {
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(bool, same);
    Tools t;
    const QString hosts =
        t.file("hosts", "127.0.0.1 localhost\n10.0.0.7\tcabinet-3.example cabinet-3 # roof\n");
    QSettings settings(t.path("settings.ini"), QSettings::IniFormat);
    settings.setValue("Ports/Com5", t.path("dev"));
    const PortMap map(&settings);
    auto lines = [&](QString port) {
        return cli::portIdentities(port.replace('@', t.path({})), map, hosts);
    };
    const QStringList la = lines(a), lb = lines(b);
    bool shared = false;
    for (const QString& line : la)
        shared = shared || lb.contains(line);
    QVERIFY2(shared == same, qPrintable(la.join(' ') + " / " + lb.join(' ')));
}

void TstCli::unitEvents() {
    // A unit's events cut anywhere by the pipe; a unit that crashed in the middle of one
    // leaves its text, which is kept as said.
    cli::EventReader reader;
    QList<cli::EventReader::Event> events = reader.feed("{\"said\":\"a\"}\n{\"prog");
    events += reader.feed("ress\":\"50%\"}\n{\"outco");
    events += reader.finish();
    QCOMPARE(events.size(), 3);
    QCOMPARE(events[0].kind + events[0].value.toString(), QStringLiteral("saida"));
    QCOMPARE(events[1].kind + events[1].value.toString(), QStringLiteral("progress50%"));
    QCOMPARE(events[2].kind + events[2].value.toString(), QStringLiteral("said{\"outco"));
}

void TstCli::profileChecks_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("message");
    const QByteArray good = QJsonDocument(goodProfile()).toJson(QJsonDocument::Compact);
    // The good profile with the first `from` replaced: also duplicate keys and numbers that
    // QJsonDocument would not write.
    auto edit = [&](const char* from, const char* to, const char* message) {
        QByteArray text = good;
        const qsizetype at = text.indexOf(from);
        QTest::newRow(message) << (at < 0 ? QByteArray() : text.replace(at, qstrlen(from), to))
                               << QString::fromUtf8(message);
    };
    QTest::newRow("not JSON") << QByteArray(R"({"format": 1,)") << "not valid JSON";
    edit(R"("format":1)", R"("format":2)", R"("format" must be 1, found 2)");
    edit(R"(,"format":1)", "", R"("format" must be 1)");
    edit(R"(,{"carrier":1,"gain":0,"input_mhz":1011,"sat":4})", "", "converter 12: missing");
    edit(R"("sat":4}])", R"("sat":4},{"carrier":1,"gain":0,"input_mhz":1011,"sat":4}])",
         R"("channels" lists 13 converters; a headend has 12)");
    edit("1002", "2151", R"(converter 3: "input_mhz" 2151 is out of range (950 to 2150))");
    edit(R"("sat":1)", R"("sat":0)", R"(converter 1: "sat" 0 is out of range (1 to 4))");
    edit(R"("gain":0)", R"("gain":2)", R"(converter 1: "gain" 2 is out of range (0 to 1))");
    edit(R"("carrier":1)", R"("carrier":true)",
         R"(converter 1: "carrier" must be a whole number, not true/false)");
    edit(R"("sat":1})", R"("sat":1,"volume":3})", R"(converter 1: unknown key "volume")");
    // Two equal keys: which one the author meant cannot be known.
    edit(R"("input_mhz":1002)", R"("input_mhz":99999,"input_\u006dhz":1002)",
         R"(duplicate key "input_mhz" in converter 3)");
    // Every number (one check for all) is in range before it is converted.
    edit(R"("format":1)", R"("format":1,"unit":{"serial":1e300})",
         R"(unit: "serial" 1e+300 is out of range)");
    // Numbers keep every digit in the message.
    edit("1010", "1010.0000000000002",
         R"(converter 11: "input_mhz" must be a whole number, not 1010.0000000000002)");
    edit(R"("format":1)", R"("format":1,"unit":{"serial":4294967297})",
         R"(unit: "serial" 4294967297 is out of range)");

    // A record read from a unit is checked as a plan once it has been changed.
    UnitImage unit;
    for (int i = 0; i < ConverterCount; ++i) {
        unit.Carrier[i] = 1;
        unit.InFreq[i] = i == 2 ? 3000 : 1000;
    }
    const QJsonObject record = plan::unitToJson(unit, MemoryUnitView());
    QTest::newRow("changed record of a unit")
        << QJsonDocument(withChannel(record, 0, "gain", 1)).toJson()
        << R"(converter 3: "input_mhz" 3000 is out of range (950 to 2150) (the file was read )"
           "from a unit and changed since";
}

void TstCli::profileChecks() {
    QFETCH(QByteArray, content);
    QFETCH(QString, message);
    const auto parsed = plan::parseProfile(content);
    QVERIFY(std::holds_alternative<QString>(parsed));
    QVERIFY2(std::get<QString>(parsed).contains(message), qPrintable(std::get<QString>(parsed)));
}

void TstCli::nothingReachesThePort_data() {
    // The arguments, the exit code and a message ("@" stands for the files' folder). Without
    // --port, a port that does not exist: it is never opened unless the code is 3. With an
    // inventory, `fleet` on it: a unit it touched would fail with 1, not 2.
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QByteArray>("inventory");
    row({}, 2, "no command given");
    row({"--port", "Com16", "read"}, 2, "--port takes Com1 to Com15");
    row({"--port", " \t", "read"}, 2, "--port is empty");
    row({"--port", "Com1", "monitor", "--rounds", "0"}, 2, "--rounds takes a whole number from 1");
    row({"write", "@bad.json"}, 2, R"(@bad.json: "format" must be 1, found 2)");
    row({"write", "@fifo"}, 2, "@fifo: cannot be read: not a regular file (a FIFO)");
    // An output that is an input (also through a link) is refused before it is opened.
    row({"--trace", "@link.json", "write", "@plan.json"}, 2,
        "--trace @link.json would write over the profile @plan.json (the same file)");
    row({"--trace", "@image.bin", "flash", "@image.bin"}, 2,
        "--trace @image.bin would write over the image @image.bin");
    row({"--trace", "@fifo", "read"}, 2, "cannot be written: not a regular file (a FIFO)");
    row({"read", "--pdf", "@no/unit.pdf"}, 2, "--pdf @no/unit.pdf cannot be written: ");
    row({"--trace", "@wire.txt", "read", "--pdf", "@wire.txt"}, 2,
        "--pdf @wire.txt would write over the trace @wire.txt (the same file)");
    row({"write", "@big.json"}, 2, "is larger than 1048576 bytes");
    row({"write", "@plan.json", "--backup-dir", "/proc/nope/bk"}, 2,
        "no backup can be kept: the folder /proc/nope/bk cannot be created");
    row({"flash", "@empty.bin"}, 2, "@empty.bin is empty!");
    row({"flash", "@large.bin"}, 2, "@large.bin has 256 sectors of 64 KiB; at most 255");
    row({"flash", "@image.bin"}, 3, "ComPortError: Com Port /dev/does-not-exist");
    row({"--port", "/dev/null", "flash", "@image.bin"}, 3, "ComPortError: Com Port /dev/null");
    // The commands of a write's three phases, listed against a simulated unit, after the
    // checks of the write itself (PTY: a port that opens; nothing may reach it).
    row({"--port", "PTY", "write", "@plan.json", "--dry-run"}, 0,
        "19 0b 00 00 03 f3 00 00 00 00 00 00 00 00 00   set input frequency (25), converter 12, "
        "value 1011");
    row({"--port", "PTY", "write", "@plan.json", "--dry-run", "--no-backup"}, 0,
        "163 commands in all.");
    row({"--port", "PTY", "write", "@plan.json", "--dry-run", "--confirm"}, 0,
        "opens, the backup folder can be written; no byte was sent to the unit.");
    row({"write", "@plan.json", "--dry-run"}, 3, "ComPortError: Com Port /dev/does-not-exist");
    row({"--port", "PTY", "write", "@plan.json", "--dry-run", "--backup-dir", "/proc/nope/bk"}, 2,
        "no backup can be kept");
    // Inventories refused before any unit is touched; port 1 on 127.0.0.1 refuses connections.
    auto fleet = [](const char* message, const QByteArray& inventory,
                    const QStringList& args = {"read"}) { row(args, 2, message, inventory); };
    const QByteArray one = "name,port,profile\nroof,tcp://127.0.0.1:1,\n";
    fleet("roof (line 2) has no profile, and none is given after write", one, {"write"});
    fleet("r.json cannot be written: No such file or directory; no unit was touched", one,
          {"read", "--report", "@no/r.json"});
    fleet("the report @units would write over the inventory @units", one,
          {"read", "--report", "@units"});
    // One line however its name is written: a device and a link to it, "//" in a path, a
    // host by name and by address, 127.1, a leading zero in the port, either scheme.
    for (const char* second : {"TCP://127.0.0.1:1", "tcp://localhost:1", "rfc2217://127.1:01"})
        fleet("a (line 2) and b (line 3) are on the same port",
              "name,port\na,tcp://127.0.0.1:1\nb," + QByteArray(second) + "\n");
    fleet("on the same port (@plan.json and @link.json)",
          "name,port\na,@plan.json\nb,@link.json\n");
    fleet("on the same port (@plan.json and @/plan.json)",
          "name,port\na,@plan.json\nb,@/plan.json\n");
    fleet(R"(line 1: unknown column "prot")", "name,prot\na,Com1\n");
    fleet("line 2: a quoted field is not closed", "name,port\na,\"Com1\nb\n");
    fleet(R"(duplicate key "port")", R"([{"name": "a", "port": "Com1", "port": "Com2"}])");
}

void TstCli::nothingReachesThePort() {
    QFETCH(QStringList, args);
    QFETCH(int, code);
    QFETCH(QString, message);
    QFETCH(QByteArray, inventory);
    Tools t;
    QVERIFY(::mkfifo(QFile::encodeName(t.path("fifo")).constData(), 0600) == 0);
    t.file("bad.json", R"({"format": 2})");
    t.file("big.json", QByteArray(2 * 1024 * 1024, ' '));
    t.file("image.bin", QByteArray(100, 'x'));
    QVERIFY(QFile::link(t.path("plan.json"), t.path("link.json")));
    const QByteArray plan = t.read("plan.json").toUtf8();
    t.file("empty.bin", {});
    QFile large(t.file("large.bin", {}));
    QVERIFY(large.resize(255 * 65536 + 1));
    if (!inventory.isEmpty()) {
        inventory.replace('@', t.path({}).toUtf8());
        args = QStringList{"fleet", t.file("units", inventory)} + args;
    } else if (!args.contains("--port")) {
        args = QStringList{"--port", "/dev/does-not-exist"} + args;
    }
    Pty pty;
    args.replaceInStrings(QRegularExpression("^PTY$"), pty.path());
    // A file that would hang the tool (a FIFO) gets it killed at the limit: code -3.
    const Run r = t.cli(args, 10000);
    QCOMPARE(r.code, code);
    message.replace(QLatin1Char('@'), t.path({}));
    QVERIFY2((code ? r.err : r.out).count(message) == 1, qPrintable(r.err + r.out));
    QVERIFY2(code == 0 || r.out.isEmpty(), qPrintable(r.out));
    QVERIFY(!QDir(t.path("data")).exists());  // no backup either
    QCOMPARE(t.read("plan.json").toUtf8(), plan);
    QVERIFY(pty.received().isEmpty());
    QCOMPARE(QFileInfo(t.path("image.bin")).size(), 100);
}

void TstCli::readDiffWriteRestore() {
    Tools t;
    const QString tty = t.startSim({"--state", t.path("unit.json")});
    // The record, and the commissioning report of the unit as read.
    Run r = t.cli({"--port", tty, "read", "--json", "--pdf", "@unit.pdf"});
    QProcess pdf;
    pdf.start("pdftotext", {"-layout", t.path("unit.pdf"), "-"});
    QVERIFY(pdf.waitForFinished(10000));
    const QString page = QString::fromUtf8(pdf.readAllStandardOutput());
    // Every value on the page is the report's own test; here, that it is this unit's.
    QVERIFY2(page.contains(" 1582 ") && page.contains("10423") && page.contains(tty),
             qPrintable(page));
    const QJsonObject record = QJsonDocument::fromJson(r.out.toUtf8()).object();
    t.file("same.json", r.out.toUtf8());
    r = t.cli({"--port", tty, "diff", "@same.json"});
    QVERIFY(r.code == 0 && r.out.isEmpty());

    QJsonObject plan = withChannel(record, 0, "carrier", 0);
    plan = withChannel(plan, 2, "input_mhz", 1250);
    plan = withChannel(plan, 5, "sat", 4);
    plan = withChannel(plan, 7, "gain", 0);
    t.file("plan.json", QJsonDocument(plan).toJson());
    r = t.cli({"--port", tty, "diff", "@plan.json"});
    QCOMPARE(r.code, 4);
    QCOMPARE(r.out.split('\n', Qt::SkipEmptyParts),
             (QStringList{"Converter 1: carrier ON on unit, OFF in profile",
                          "Converter 3: input 1097 MHz on unit, 1250 MHz in profile",
                          "Converter 6: SAT 2 on unit, SAT 4 in profile",
                          "Converter 8: gain ON on unit, OFF in profile"}));

    // Writing keeps what the unit held in a dated backup first, and reads the result back.
    r = t.cli({"--port", tty, "write", "@plan.json", "--backup-dir", "@backups"});
    QVERIFY2(
        r.code == 0 && r.out.contains("Read back: the unit holds the plan.") && r.err.isEmpty(),
        qPrintable(r.out + r.err));
    QVERIFY(QDir(t.path("backups")).entryList({"MC_1200-10423-*"}, QDir::Files).size() == 1);
    const auto stored = sim::loadStateFile(t.path("unit.json"), nullptr);
    QVERIFY(stored && stored->channels[2].inFreq == 1250 && stored->channels[5].polarisation == 3);
}

void TstCli::oddValuesAreShownAndRestored() {
    Tools t;
    // A unit holding values no plan may hold.
    sim::HeadendState odd = sim::HeadendState::demo();
    odd.channels[2].polarisation = 5;
    odd.channels[4].gain = 3;
    odd.channels[6].carrier = 2;
    odd.channels[8].inFreq = 3000;
    // A type that would clear the terminal and overwrite its line.
    odd.unitType = QString::fromLatin1("MC\x1b[2J\r1200");
    QVERIFY(sim::saveStateFile(t.path("unit.json"), odd, nullptr));
    const QString tty = t.startSim({"--state", t.path("unit.json")});

    // Shown as read, marked, and read says so; the unit's text with its controls escaped.
    const Run r = t.cli({"--port", tty, "--trace", "@wire.txt", "read"});
    QCOMPARE(r.code, 4);
    QVERIFY2(r.out.contains("Type:        MC\\x1b[2J\\x0d1200\n"), qPrintable(r.out));
    QVERIFY(!r.out.contains('\x1b') && !r.out.contains('\r') &&
            !t.read("wire.txt").contains('\x1b'));
    for (const char* cell : {"SAT code 5!", "3!", "2!", "3000!"})
        QVERIFY2(r.out.contains(QLatin1String(cell)), cell);
    QVERIFY2(r.err.contains("converter 9: input 3000 MHz (950 to 2150)"), qPrintable(r.err));

    QCOMPARE(t.cli({"--port", tty, "write", "@plan.json", "--backup-dir", "@backups"}).code, 0);
    const QStringList saved = QDir(t.path("backups")).entryList(QDir::Files);
    QCOMPARE(saved.size(), 1);
    // The backup restores the unit exactly; without --backup-dir, the backup of this write goes
    // to the data folder.
    QCOMPARE(t.cli({"--port", tty, "write", "@backups/" + saved[0]}).code, 0);
    QCOMPARE(QDir(t.path("backups")).entryList(QDir::Files).size(), 1);
    QCOMPARE(QDir(t.path("data/meridan/backups")).entryList(QDir::Files).size(), 1);
    const auto restored = sim::loadStateFile(t.path("unit.json"), nullptr);
    QVERIFY(restored);
    for (int i = 0; i < ConverterCount; ++i) {
        const sim::SimChannel &a = odd.channels[i], &b = restored->channels[i];
        QVERIFY(a.carrier == b.carrier && a.polarisation == b.polarisation &&
                a.inFreq == b.inFreq && a.gain == b.gain);
    }
}

void TstCli::exchangeThatDoesNotComplete_data() {
    QTest::addColumn<QStringList>("simArgs");  // or "telnet": a server of the test's own
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("interruptAt");  // the signals go once the trace shows this
    QTest::addColumn<QList<int>>("signals");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");  // a pattern
    QTest::addColumn<bool>("stored");
    const QStringList write{"write", "@plan.json", "--backup-dir", "@backups"};
    const QStringList writeOnly{"write", "@plan.json", "--no-backup"};
    const QStringList slow{"--reply-delay", "0.02"};
    const QList<int> none, ctrlC{SIGINT};
    const QString sent =
        "plan not stored: the unit runs converters 1-(\\d+) changed, (\\d+)-12 as "
        "before; the backup is .*backups/MC_1200-";
    QTest::newRow("read: a device server that drops the connection")
        << QStringList{"--tcp", "127.0.0.1:0", "--drop-connection-at", "10"} << QStringList{"read"}
        << "" << none << 1
        << "^ComPortError: Com Port lost: tcp://127.0.0.1:\\d+ is no longer available!\n$" << false;
    // 72 commands for the converters, then the store and the end command.
    QTest::newRow("no answer to the store")
        << QStringList{"--no-reply-at", "73"} << writeOnly << "" << none << 1
        << "plan sent to all 12 converters, but the unit did not confirm the store" << false;
    QTest::newRow("SIGHUP during the set commands")
        << slow << write << "set carrier (46), converter 5" << QList<int>{SIGHUP} << 129
        << "SIGHUP: finishing the exchange(?:.|\n)*interrupted: " + sent << false;
    QTest::newRow("Ctrl+C after the store")
        << slow << write << "store settings (33)" << ctrlC << 130
        << "interrupted: plan stored; not read back" << true;
    // A second signal ends the tool at once, with what is known then.
    QTest::newRow("a second Ctrl+C")
        << slow << write << "set carrier (46), converter 5" << QList<int>{SIGINT, SIGINT} << 130
        << "stopped at once: plan not stored: the unit runs converters 1-\\d+ changed, converter "
           "\\d+ possibly in part"
        << false;
    QTest::newRow("Ctrl+C during the connection requests")
        << QStringList{"--silent"} << writeOnly << "connection request" << ctrlC << 130
        << "interrupted: plan not written: the unit is as it was\n$" << false;
    QTest::newRow("Ctrl+C while a device server sets the line")
        << QStringList{"telnet"} << QStringList{"read"} << "meridan-cli --port" << ctrlC << 130
        << "interrupted while the port was being opened; nothing was sent\n$" << false;
}

void TstCli::exchangeThatDoesNotComplete() {
    QFETCH(QStringList, simArgs);
    QFETCH(QStringList, args);
    QFETCH(QString, interruptAt);
    QFETCH(QList<int>, signals);
    QFETCH(int, code);
    QFETCH(QString, message);
    QFETCH(bool, stored);
    Tools t;
    // A device server that takes the connection and never sets the line.
    QTcpServer server;
    QString port;
    if (simArgs[0] == QLatin1String("telnet")) {
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        port = QStringLiteral("rfc2217://127.0.0.1:%1").arg(server.serverPort());
    } else {
        port = t.startSim(QStringList{"--state", t.path("unit.json")} + simArgs);
    }
    QProcess* running = nullptr;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        // The trace is written line by line, so it shows the frame at once. A signal too
        // early would meet a tool that has not set up its handlers: the connection to a
        // server waits 300 ms more.
        if (!running || !t.read("wire.txt").contains(interruptAt)) return;
        poll.stop();
        if (interruptAt.startsWith("meridan-cli")) QThread::msleep(300);
        for (const int sig : std::as_const(signals)) {
            ::kill(static_cast<pid_t>(running->processId()), sig);
            QThread::msleep(30);  // two signals at once would be taken as one
        }
    });
    const Run r =
        t.cli(QStringList{"--port", port, "--trace", "@wire.txt"} + args, 60000, [&](QProcess& p) {
            running = &p;
            if (signals.isEmpty()) return;
            poll.start(5);
            QTRY_VERIFY_WITH_TIMEOUT(!poll.isActive(), 30000);
        });
    QCOMPARE(r.code, code);
    const auto m = QRegularExpression(message).match(r.err);
    QVERIFY2(m.hasMatch(), qPrintable(r.err));
    if (m.lastCapturedIndex() >= 2 && !m.captured(2).isEmpty())
        QCOMPARE(m.captured(1).toInt() + 1, m.captured(2).toInt());
    QCOMPARE(QFile::exists(t.path("unit.json")), stored);
    QVERIFY2(!r.out.contains("Read back") && !r.out.contains("Converter"), qPrintable(r.out));
    const QStringList trace = t.read("wire.txt").split('\n', Qt::SkipEmptyParts);
    QCOMPARE(trace.last(), QStringLiteral("# ended with exit code %1").arg(code));
    if (signals.size() == 2) {
        QVERIFY2(trace[trace.size() - 2].startsWith("# stopped at once by Ctrl+C: plan not stored"),
                 qPrintable(trace[trace.size() - 2]));
        return;
    }
    if (signals.isEmpty() || !message.contains(QRegularExpression("plan (not )?stored"))) return;
    // Else the trace ends with the end command and the unit's answer to it.
    static const QRegularExpression frame(QStringLiteral("  (->|<-)  "));
    const QStringList wire = trace.filter(frame);
    QVERIFY2(wire.size() >= 2 && wire[wire.size() - 2].endsWith("end of communication (40)") &&
                 wire.last().endsWith("end of command"),
             qPrintable(wire.mid(wire.size() - 2).join('\n')));
}

void TstCli::noisyLine() {
    // Every value read twice: the third read of converter 3's output lock (command 49 when
    // confirming) settles it; the backup says it was confirmed.
    Tools t;
    QString tty = t.startSim({"--state", t.path("unit.json"), "--garble-at", "49"});
    Run r = t.cli({"--port", tty, "write", "@plan.json", "--backup-dir", "@backups", "--confirm"});
    QVERIFY2(r.code == 0 && r.out.contains("Backup read: every value read twice and confirmed (1 "
                                           "repeated read).\n"),
             qPrintable(r.out + r.err));
    const QStringList saved = QDir(t.path("backups")).entryList(QDir::Files);
    QCOMPARE(saved.size(), 1);
    const QJsonObject backup =
        QJsonDocument::fromJson(t.read("backups/" + saved[0]).toUtf8()).object();
    QCOMPARE(backup["confirmed"], QJsonValue(true));
    QCOMPARE(backup["channels"][2]["output_lock"], QJsonValue("Locked"));

    // Converter 7's input frequency (command 49) out of range on every read: nothing written.
    Tools u;
    tty = u.startSim({"--state", u.path("unit.json"), "--garble-at", "49:4"});
    r = u.cli({"--port", tty, "write", "@plan.json", "--backup-dir", "@backups"});
    QCOMPARE(r.code, 1);
    QVERIFY2(QRegularExpression("backup read: the reads of these values did not agree .* nothing "
                                "was written, the unit is as it was\n  converter 7: input "
                                "frequency: \\d+, \\d+, \\d+, \\d+\n$")
                 .match(r.err)
                 .hasMatch(),
             qPrintable(r.err));
    QVERIFY(!QFile::exists(u.path("unit.json")));
    QVERIFY(QDir(u.path("backups")).entryList(QDir::Files | QDir::Hidden).isEmpty());
}

void TstCli::filesThatCannotBeWritten() {
    // A file of more than 2048 bytes cannot be written (as on a full disk): the trace says so
    // once and fails a read that went well; a backup that cannot be saved stops the write
    // before its first set command and leaves nothing behind.
    Tools t;
    const QString tty = t.startSim({"--state", t.path("unit.json")});
    t.childSetup = [] {
        const rlimit small{2048, 2048};
        ::setrlimit(RLIMIT_FSIZE, &small);
        ::signal(SIGXFSZ, SIG_IGN);
    };
    Run r = t.cli({"--port", tty, "--trace", "@wire.txt", "read"});
    QCOMPARE(r.code, 1);
    QVERIFY(r.out.contains("Serial-No:   10423"));
    QCOMPARE(
        r.err.count("the trace " + t.path("wire.txt") + " could not be written: File too large"),
        1);

    QVERIFY(QDir().mkpath(t.path("backups")));
    const QString big = t.file("backups/big", QByteArray(8192, 'x'));  // room: not the problem
    r = t.cli({"--port", tty, "write", "@plan.json", "--backup-dir", "@backups"});
    QCOMPARE(r.code, 1);
    QVERIFY2(r.err.contains("the backup could not be saved in " + t.path("backups") +
                            ": File too large; nothing was written"),
             qPrintable(r.err));
    QCOMPARE(QDir(t.path("backups")).entryList(QDir::Files | QDir::Hidden), QStringList{"big"});
    QVERIFY(!QFile::exists(t.path("unit.json")));
}

void TstCli::onARealLine_data() {
    QTest::addColumn<QString>("line");
    QTest::newRow("paced") << "--paced";
    QTest::newRow("buffering") << "--buffering";
}

void TstCli::onARealLine() {
    // At the line rate the unit's answers come a byte or two at a time: every reply is still
    // taken whole (the texts to their last character), no lone byte is taken for a value, and
    // a write, the monitor and a firmware upload work as on a fast line.
    QFETCH(QString, line);
    Tools t;
    const QString tty = t.startSim({line, "--firmware-out", t.path("received.bin")});
    Run r = t.cli({"--port", tty, "--trace", "@wire.txt", "read"});
    QVERIFY2(r.code == 0 && r.out.startsWith("Type:        MC 1200\nHW-Version:  1.04\n"
                                             "SW-Version:  2.17\nSerial-No:   10423\n"),
             qPrintable(r.out));
    const QString trace = t.read("wire.txt");
    for (const int mhz : {1010, 1054, 1097, 1141, 1185, 1229, 1362, 1406, 1450, 1494, 1538, 1582})
        QVERIFY2(trace.contains(QStringLiteral("value %1").arg(mhz)), qPrintable(trace));
    QVERIFY(trace.contains("text \"MC 1200\"") && trace.contains("value 10423"));
    QCOMPARE(trace.count("end of command"), 89);
    // Each write on a line of its own: the connection request, 88 frames and the end command.
    QCOMPARE(trace.count("->  ") - trace.count("acknowledge"), 90);
    QVERIFY(!trace.contains("value 69") && !trace.contains("value 78"));

    r = t.cli({"--port", tty, "write", "@plan.json", "--backup-dir", "@backups"});
    QVERIFY2(r.code == 0 && r.out.contains("Read back: the unit holds the plan."),
             qPrintable(r.out + r.err));

    // The plan turned every carrier on: all twelve lock.
    r = t.cli({"--port", tty, "monitor", "--rounds", "2"});
    QVERIFY2(r.code == 0 && r.out.count("in LLLLLLLLLLLL  out LLLLLLLLLLLL") == 2,
             qPrintable(r.out + r.err));

    QByteArray image(40000, '\0');
    for (int k = 0; k < image.size(); ++k)
        image[k] = static_cast<char>(k * 7);
    t.file("VELNO_S1.bin", image);
    r = t.cli({"--port", tty, "flash", "@VELNO_S1.bin"});
    QVERIFY2(r.code == 0, qPrintable(r.out + r.err));
    QFile received(t.path("received.bin"));
    QVERIFY(received.open(QIODevice::ReadOnly) &&
            received.readAll() == image + QByteArray(65536 - image.size(), ' '));
}

// The processes of a fleet's units, from the fleet's own process.
QList<pid_t> unitsOf(const QProcess& fleet) {
    const QString pid = QString::number(fleet.processId());
    QFile f(QStringLiteral("/proc/%1/task/%1/children").arg(pid));
    QList<pid_t> units;
    if (f.open(QIODevice::ReadOnly)) {
        for (const QByteArray& n : f.readAll().split(' '))
            if (n.toInt() > 0) units << n.toInt();
    }
    return units;
}

// Gone, or ended and not waited for.
bool ended(pid_t pid) {
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    return !f.open(QIODevice::ReadOnly) || f.readAll().contains(") Z ");
}

void TstCli::fleetHangUpAndCrash() {
    // While three units are written: one crashes, then the terminal closes (three SIGHUPs,
    // from the terminal and the shell). The others finish the exchange in progress and end
    // their communication, as after one Ctrl+C, and the report is written.
    Tools t;
    QStringList ports{
        t.startSim({"--tcp", "127.0.0.1:0", "--units", "3", "--reply-delay", "0.05"})};
    ports += t.simLines(2);
    const QString inventory = t.file(
        "units.csv",
        QStringLiteral("name,port\na,%1\nb,%2\nc,%3\n").arg(ports[0], ports[1], ports[2]).toUtf8());
    const QStringList write{"fleet", inventory, "write", "@plan.json", "--no-backup"};
    auto unitsRunning = [](QProcess& p) {
        QTRY_COMPARE_WITH_TIMEOUT(unitsOf(p).size(), 3, 10000);
        QThread::msleep(1500);  // into the set commands
    };
    Run r = t.cli(write + QStringList{"--report", "@report.json"}, 60000, [&](QProcess& p) {
        unitsRunning(p);
        ::kill(unitsOf(p)[2], SIGABRT);  // a failed assertion
        QThread::msleep(200);
        for (int k = 0; k < 3; ++k) {
            ::kill(static_cast<pid_t>(p.processId()), SIGHUP);
            QThread::msleep(30);
        }
    });
    QCOMPARE(r.code, 129);
    const QJsonArray units =
        QJsonDocument::fromJson(t.read("report.json").toUtf8())["units"].toArray();
    QCOMPARE(units.size(), 3);
    QStringList details;
    for (const QJsonValue u : units)
        details << u["result"].toString() + ": " + u["detail"].toString();
    details.sort();
    QVERIFY2(details[0].startsWith("failed: meridan-cli crashed (SIGABRT)") &&
                 details[1].startsWith("interrupted: interrupted: plan not ") &&
                 details[2].startsWith("interrupted: interrupted: plan not "),
             qPrintable(details.join('\n')));

    // A fleet that is killed takes its units with it: each ends its communication.
    QList<pid_t> orphans;
    t.cli(write, 60000, [&](QProcess& p) {
        unitsRunning(p);
        orphans = unitsOf(p);
        p.kill();
    });
    QVERIFY(orphans.size() == 3);
    for (const pid_t unit : std::as_const(orphans))
        QTRY_VERIFY_WITH_TIMEOUT(ended(unit), 5000);
}

void TstCli::fleetWithFewFileHandles() {
    // Twelve units under an open-file limit that lets a few run at once: the others wait for
    // a slot. Every value is read twice; the unit with a value no unit reports keeps its
    // record, flagged; each unit's commissioning report is written, named as backups are.
    Tools t;
    sim::HeadendState odd = sim::HeadendState::demo();
    odd.channels[8].inFreq = 3000;
    QVERIFY(QDir().mkpath(t.path("units")));
    QVERIFY(sim::saveStateFile(t.path("units/unit-3.json"), odd, nullptr));
    QStringList ports{
        t.startSim({"--tcp", "127.0.0.1:0", "--units", "12", "--state-dir", t.path("units")})};
    ports += t.simLines(11);
    QByteArray csv = "name,port\n";
    for (int k = 0; k < ports.size(); ++k)
        csv += QStringLiteral("u%1,%2\n").arg(k + 1).arg(ports[k]).toUtf8();
    t.childSetup = [] {
        const rlimit few{20, 20};
        ::setrlimit(RLIMIT_NOFILE, &few);
    };
    const Run r = t.cli({"fleet", t.file("units.csv", csv), "read", "--confirm", "--report",
                         "@report.json", "--pdf-dir", "@reports"});
    QCOMPARE(r.code, 4);
    QVERIFY2(r.out.contains("12 units: 11 ok, 1 differs;") && r.out.contains("(ulimit -n 20)"),
             qPrintable(r.out + r.err));
    const QJsonArray units =
        QJsonDocument::fromJson(t.read("report.json").toUtf8())["units"].toArray();
    for (int k = 0; k < 12; ++k) {
        QCOMPARE(units[k]["plan"]["confirmed"], QJsonValue(true));
        QCOMPARE(units[k]["unusual_values"].toArray().size(), k == 2 ? 1 : 0);
        QVERIFY(QFileInfo(units[k]["pdf"].toString()).isFile());
    }
    QCOMPARE(units[2]["plan"]["channels"][8]["input_mhz"], QJsonValue(3000));
    const QStringList pdfs = QDir(t.path("reports")).entryList({"MC_1200-10423-*.pdf"});
    QCOMPARE(pdfs.size(), 12);
}

void TstCli::flash() {
    Tools t;
    const QString tty =
        t.startSim({"--stall-sector", "1", "--firmware-out", t.path("received.bin")});
    QByteArray image(65536 + 3000, '\0');
    for (int k = 0; k < image.size(); ++k)
        image[k] = static_cast<char>(k * 11);
    t.file("VELNO_S5.bin", image);
    Run r = t.cli({"--port", tty, "flash", "@VELNO_S5.bin"});
    QVERIFY2(r.code == 0 && r.out.contains("131072 bytes (2 sectors) in 2 attempts"),
             qPrintable(r.out));
    QVERIFY2(r.err.contains("The module stopped answering: starting again") &&
                 r.err.contains("100%  sector 2/2  block 4"),
             qPrintable(r.err));
    QFile received(t.path("received.bin"));
    QVERIFY(received.open(QIODevice::ReadOnly) &&
            received.readAll() == image + QByteArray(2 * 65536 - image.size(), ' '));
}

void TstCli::portsAndSettings() {
    Tools t;
    const QString tty = t.startSim({});
    // Two device servers that take the connection and never set the line: each takes the
    // whole 5 s, both at once.
    QTcpServer silent[2];
    QByteArray servers;
    for (int k = 0; k < 2; ++k) {
        QVERIFY(silent[k].listen(QHostAddress::LocalHost, 0));
        servers += QStringLiteral("\nCom%1=rfc2217://127.0.0.1:%2")
                       .arg(9 + k)
                       .arg(silent[k].serverPort())
                       .toUtf8();
    }
    const QByteArray ports = "[Ports]\nCom1=" + tty.toUtf8() + "\nCom5=" + t.path("ttyQ").toUtf8() +
                             '\0' + "X" + servers + '\n';
    t.file("Meridan/Meridan Converter.conf", ports + "[Settings]\nCOM-Port=5\n");
    Run r = t.cli({"ports"});
    QVERIFY2(r.ms < 8000, qPrintable(QString::number(r.ms)));
    const QStringList lines = r.out.split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 15);
    const QRegularExpression silent5s(
        "^Com\\d+ +rfc2217://127.0.0.1:\\d+ {2,}- \\(the server "
        "did not confirm the line settings within 5 s");
    for (const int k : {8, 9})
        QVERIFY2(silent5s.match(lines[k]).hasMatch(), qPrintable(lines[k]));
    QVERIFY2(lines[0].startsWith("Com1") && lines[0].contains(tty) && lines[0].endsWith("  opens"),
             qPrintable(lines[0]));
    QVERIFY2(lines[4].contains("ttyQ\\x00X") && lines[4].contains("holds a control character"),
             qPrintable(lines[4]));

    // The stored port's device has a NUL in its setting: refused before Qt sees it (Qt would
    // leave a lock file it cannot remove, and crash on the next start).
    r = t.cli({"read"}, 20000);
    QCOMPARE(r.code, 2);
    QVERIFY2(r.err.contains("the setting Com5 in section [Ports] of ") &&
                 r.err.contains("holds a control character"),
             qPrintable(r.err));

    // A settings file that is a FIFO is refused, not waited on.
    const QString conf = t.path("Meridan/Meridan Converter.conf");
    QVERIFY(QFile::remove(conf) && ::mkfifo(QFile::encodeName(conf).constData(), 0600) == 0);
    for (const QStringList& args : {QStringList{"--port", tty, "read"}, QStringList{"ports"}}) {
        r = t.cli(args, 10000);
        QCOMPARE(r.code, 2);
        QVERIFY2(r.err.contains("Converter.conf is not a regular file (a FIFO)"),
                 qPrintable(r.err));
    }
}

void TstCli::helpAndVersion() {
    Tools t;
    // The program answers --help and --version without a display.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
        env.remove(name);
    for (const char* option : {"--help", "--version"}) {
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(MERIDAN_CONVERTER, {option});
        QVERIFY2(p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit &&
                     p.exitCode() == 0 &&
                     p.readAllStandardOutput().contains(option[2] == 'h' ? "Usage: " : " 1.0.0\n"),
                 option);
    }
    for (const char* program : {MERIDAN_CLI, MERIDAN_SIM, MERIDAN_BENCH}) {
        const Run help = t.run(program, {"--help"}, 10000);
        QVERIFY2(help.code == 0 && help.out.startsWith("Usage: "), program);
        QVERIFY2(t.run(program, {"--version"}, 10000).out.endsWith(" 1.0.0\n"), program);
        QVERIFY2(t.run(program, {"--bogus"}, 10000).code == 2, program);
    }
}

void TstCli::fleetOfEightUnits() {
    // A unit with a frozen converter, five good units, one silent, one that refuses the
    // connection; the plan is written to all of them at once. The failures, listed after the
    // difference, set the exit code.
    Tools t, silent, frozen;
    const QString states = t.path(QStringLiteral("units"));
    QStringList ports{frozen.startSim({"--tcp", "127.0.0.1:0", "--frozen-converter", "5"}),
                      t.startSim({"--tcp", "127.0.0.1:0", "--units", "5", "--state-dir", states})};
    ports += t.simLines(4);
    ports << silent.startSim({"--tcp", "127.0.0.1:0", "--silent"})
          << QStringLiteral("tcp://127.0.0.1:%1").arg(test::freeTcpPort());
    const QStringList names{"frozen", "roof-1", "roof-2", "roof-3",
                            "roof-4", "roof-5", "silent", "refused"};
    // With a byte order mark, CR LF, a comment, quotes and a profile beside the inventory.
    QByteArray csv = "\xEF\xBB\xBF\"name\",port,profile\r\n# the roof\r\n";
    for (int k = 0; k < names.size(); ++k)
        csv += (names[k] + ",\"" + ports.value(k) + "\"," + (k == 0 ? "site.json" : "") + "\r\n")
                   .toUtf8();
    t.file("site/site.json", QJsonDocument(goodProfile()).toJson());
    const QString report = t.path(QStringLiteral("report.json"));
    const Run r = t.cli({"fleet", t.file("site/units.csv", csv), "write",
                         t.file("plan.json", QJsonDocument(goodProfile()).toJson()), "--report",
                         report, "--backup-dir", t.path("backups")},
                        150000);
    QCOMPARE(r.code, 1);
    // All at once: the silent unit's 50 s connection request sets the time.
    QVERIFY2(r.ms < 75000, qPrintable(QString::number(r.ms)));
    // The report names each unit's result, its backup and the fields it did not take.
    const QStringList results{"differs", "ok", "ok", "ok", "ok", "ok", "failed", "failed"};
    const QJsonArray got =
        QJsonDocument::fromJson(t.read("report.json").toUtf8())["units"].toArray();
    for (int k = 0; k < names.size(); ++k) {
        QCOMPARE(got[k]["name"].toString() + ' ' + got[k]["result"].toString(),
                 names[k] + ' ' + results[k]);
        QCOMPARE(QFileInfo(got[k]["backup"].toString()).isFile(), k < 6);
    }
    const QJsonArray notTaken = got[0]["differences"].toArray();
    QVERIFY(notTaken.size() == 1 && notTaken[0].toString().startsWith("Converter 5: input"));
    QVERIFY2(r.out.contains("field not taken: Converter 5: input"), qPrintable(r.out));
    QVERIFY2(r.out.contains("8 units: 5 ok, 1 differs, 2 failed"), qPrintable(r.out));
    QCOMPARE(QDir(t.path("backups")).entryList(QDir::Files).size(), 6);
}

QTEST_GUILESS_MAIN(TstCli)
#include "tst_cli.moc"
