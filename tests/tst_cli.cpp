// meridan-cli against meridan-headend-sim on a real pseudo-terminal, in real time, and the
// checks of profile files.
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <QThread>
#include <csignal>

#include "cli/clitool.h"
#include "cli/fleet.h"
#include "cli/profile.h"
#include "link/qtserialport.h"
#include "sim/simprocess.h"
#include "sim/statefile.h"
#include "support/rig.h"

using namespace meridan;
using meridan::test::Pty;

namespace {

struct Run {
    int code = -1;  // -2: crashed, -3: still running at the time limit (killed)
    QString out, err;
    qint64 ms = 0;
};

class Tools {
  public:
    Tools() {
        env_ = QProcessEnvironment::systemEnvironment();
        env_.insert(QStringLiteral("XDG_CONFIG_HOME"), home_.path());
        env_.insert(QStringLiteral("XDG_DATA_HOME"), home_.filePath(QStringLiteral("data")));
    }
    // Starts the simulator and returns its terminal's path.
    QString startSim(const QStringList& args) {
        sim_.process().setProcessEnvironment(env_);
        return sim_.start(args);
    }
    QString simErrors() { return QString::fromLocal8Bit(sim_.process().readAllStandardError()); }
    QStringList simLines(int n) { return sim_.readLines(n); }

    // Runs the tool; `interrupt` is called once while it runs and may signal it.
    Run cli(const QStringList& args, int limitMs = 120000,
            const std::function<void(QProcess&)>& interrupt = {}) {
        QProcess p;
        p.setProcessEnvironment(env_);
        QElapsedTimer timer;
        timer.start();
        p.start(QStringLiteral(MERIDAN_CLI), args);
        Run r;
        p.waitForStarted(5000);
        if (interrupt) interrupt(p);
        if (!p.waitForFinished(limitMs)) {
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

    QString file(const QString& name, const QByteArray& content) {
        const QString path = home_.filePath(name);
        QDir().mkpath(QFileInfo(path).path());
        QFile f(path);
        if (f.open(QIODevice::WriteOnly)) f.write(content);
        return path;
    }
    QString path(const QString& name) const { return home_.filePath(name); }
    QProcessEnvironment& env() { return env_; }

  private:
    QTemporaryDir home_;
    QProcessEnvironment env_;
    sim::SimProcess sim_{QStringLiteral(MERIDAN_SIM)};
};

QJsonObject goodProfile() {
    QJsonArray channels;
    for (int i = 0; i < 12; ++i) {
        channels.append(
            QJsonObject{{"carrier", 1}, {"sat", 1 + i % 4}, {"input_mhz", 1000 + i}, {"gain", 0}});
    }
    return QJsonObject{{"format", 1}, {"channels", channels}};
}

QByteArray with(const std::function<void(QJsonObject&)>& change) {
    QJsonObject o = goodProfile();
    change(o);
    return QJsonDocument(o).toJson();
}

void setChannelKey(QJsonObject& o, int i, const QString& key, const QJsonValue& v) {
    QJsonArray ch = o["channels"].toArray();
    QJsonObject c = ch[i].toObject();
    if (v.isUndefined()) {
        c.remove(key);
    } else {
        c[key] = v;
    }
    ch[i] = c;
    o["channels"] = ch;
}

// The good profile's text with the first `from` replaced: duplicate keys and numbers that
// QJsonDocument would not write.
QByteArray edited(QJsonObject o, const char* from, const char* to) {
    QByteArray text = QJsonDocument(o).toJson();
    const qsizetype at = text.indexOf(from);
    return at < 0 ? QByteArray("(not found)") : text.replace(at, qstrlen(from), to);
}

// A record of a unit as read --json writes it: the demo unit with converter 3 at 3000 MHz.
QJsonObject unitRecord() {
    UnitImage unit;
    MemoryUnitView view;
    for (int i = 0; i < ConverterCount; ++i) {
        unit.Carrier[i] = 1;
        unit.InFreq[i] = 1000 + i;
    }
    unit.InFreq[2] = 3000;
    return cli::unitToJson(unit, view);
}

}  // namespace

class TstCli : public QObject {
    Q_OBJECT
  private Q_SLOTS:
    void readWriteReadBack();
    void badProfilesAreRefusedBeforeThePort_data();
    void badProfilesAreRefusedBeforeThePort();
    void linkFailureAndPortProblems();
    void usage();
    void diffWriteBackupRestore();
    void readBackReportsWhatTheUnitKept();
    void dryRunSendsNothing();
    void traceDecodesAFullRead();
    void flashWithAStallAndARestart();
    void badImagesAndPorts_data();
    void badImagesAndPorts();
    void ports();
    void hostileFilesAreRefusedAtOnce_data();
    void hostileFilesAreRefusedAtOnce();
    void backupRestoresWhatTheUnitHeld();
    void writeThatDoesNotComplete_data();
    void writeThatDoesNotComplete();
    void flashOneSector();
    void networkPorts_data();
    void networkPorts();
    void fleetRefusesBeforeAnyUnit_data();
    void fleetRefusesBeforeAnyUnit();
    void fleetOfEightUnits();
};

void TstCli::readWriteReadBack() {
    Tools t;
    const QString state = t.path(QStringLiteral("unit.json"));
    const QString tty = t.startSim({QStringLiteral("--state"), state});
    QVERIFY(tty.startsWith(QStringLiteral("/dev/")));

    Run r = t.cli({QStringLiteral("--port"), tty, QStringLiteral("read")});
    QCOMPARE(r.code, 0);
    QVERIFY(r.out.contains(QStringLiteral("Serial-No:   10423")));
    QVERIFY(r.out.contains(QStringLiteral("Converter  Carrier  Input")));

    r = t.cli({QStringLiteral("--port"), tty, QStringLiteral("read"), QStringLiteral("--json")});
    QCOMPARE(r.code, 0);
    QJsonObject unit = QJsonDocument::fromJson(r.out.toUtf8()).object();
    QCOMPARE(unit["format"].toInt(), 1);
    QCOMPARE(unit["unit"].toObject()["serial"].toInt(), 10423);
    QJsonArray ch = unit["channels"].toArray();
    QCOMPARE(ch.size(), 12);
    QCOMPARE(ch[0].toObject()["output_mhz"].toString(), QStringLiteral("474"));
    QVERIFY(!QFile::exists(state));  // nothing stored by reading

    // Change converter 3 and switch converter 12 on, write what was read.
    QJsonObject c3 = ch[2].toObject();
    c3["input_mhz"] = 1250;
    c3["sat"] = 4;
    c3["gain"] = 1 - c3["gain"].toInt();
    ch[2] = c3;
    QJsonObject c12 = ch[11].toObject();
    c12["carrier"] = 1;
    ch[11] = c12;
    unit["channels"] = ch;
    const QString profile = t.file(QStringLiteral("plan.json"), QJsonDocument(unit).toJson());
    r = t.cli({QStringLiteral("--port"), tty, QStringLiteral("write"), profile});
    QCOMPARE(r.code, 0);
    QVERIFY(r.err.isEmpty());

    r = t.cli({QStringLiteral("--port"), tty, QStringLiteral("read"), QStringLiteral("--json")});
    QCOMPARE(r.code, 0);
    const QJsonArray back = QJsonDocument::fromJson(r.out.toUtf8()).object()["channels"].toArray();
    QCOMPARE(back[2].toObject()["input_mhz"].toInt(), 1250);
    QCOMPARE(back[2].toObject()["sat"].toInt(), 4);
    QCOMPARE(back[2].toObject()["gain"].toInt(), c3["gain"].toInt());
    QCOMPARE(back[11].toObject()["carrier"].toInt(), 1);
    QCOMPARE(back[11].toObject()["output_lock"].toString(), QStringLiteral("Locked"));

    // The unit stored it: the state file holds the new plan.
    QString why;
    const auto stored = sim::loadStateFile(state, &why);
    QVERIFY2(stored.has_value(), qPrintable(why));
    QCOMPARE(stored->channels[2].inFreq, 1250);
    QCOMPARE(int(stored->channels[2].polarisation), 3);
    QCOMPARE(int(stored->channels[11].carrier), 1);
}

void TstCli::badProfilesAreRefusedBeforeThePort_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("message");
    QTest::newRow("not JSON") << QByteArray("{\"format\": 1,") << "not valid JSON";
    QTest::newRow("a list") << QByteArray("[]") << "one JSON object";
    QTest::newRow("wrong format") << with([](QJsonObject& o) { o["format"] = 2; })
                                  << "\"format\" must be 1, found 2";
    QTest::newRow("no format") << with([](QJsonObject& o) { o.remove("format"); })
                               << "\"format\" must be 1";
    QTest::newRow("missing channel") << with([](QJsonObject& o) {
        QJsonArray ch = o["channels"].toArray();
        ch.removeLast();
        o["channels"] = ch;
    }) << "converter 12: missing";
    QTest::newRow("13 channels") << with([](QJsonObject& o) {
        QJsonArray ch = o["channels"].toArray();
        ch.append(ch[0]);
        o["channels"] = ch;
    }) << "lists 13 converters";
    QTest::newRow("input out of range")
        << with([](QJsonObject& o) { setChannelKey(o, 2, "input_mhz", 2151); })
        << "converter 3: \"input_mhz\" 2151 is out of range (950 to 2150)";
    QTest::newRow("input below range")
        << with([](QJsonObject& o) { setChannelKey(o, 0, "input_mhz", 949); })
        << "converter 1: \"input_mhz\" 949 is out of range";
    QTest::newRow("input as text")
        << with([](QJsonObject& o) { setChannelKey(o, 4, "input_mhz", "1200"); })
        << "converter 5: \"input_mhz\" must be a whole number, not text";
    QTest::newRow("fractional frequency")
        << with([](QJsonObject& o) { setChannelKey(o, 4, "input_mhz", 1200.5); })
        << "converter 5: \"input_mhz\" must be a whole number, not 1200.5";
    QTest::newRow("sat 0") << with([](QJsonObject& o) { setChannelKey(o, 6, "sat", 0); })
                           << "converter 7: \"sat\" 0 is out of range (1 to 4)";
    QTest::newRow("sat missing") << with([](QJsonObject& o) {
        setChannelKey(o, 6, "sat", QJsonValue::Undefined);
    }) << "converter 7: \"sat\" is missing";
    QTest::newRow("carrier true") << with([](QJsonObject& o) {
        setChannelKey(o, 8, "carrier", true);
    }) << "converter 9: \"carrier\" must be a whole number, not true/false";
    QTest::newRow("gain 2") << with([](QJsonObject& o) { setChannelKey(o, 9, "gain", 2); })
                            << "converter 10: \"gain\" 2 is out of range (0 to 1)";
    QTest::newRow("unknown key") << with([](QJsonObject& o) { setChannelKey(o, 10, "volume", 3); })
                                 << "converter 11: unknown key \"volume\"";
    QTest::newRow("converter out of place")
        << with([](QJsonObject& o) { setChannelKey(o, 1, "converter", 5); })
        << "converter 2: \"converter\" must be 2";
    QTest::newRow("unknown top-level key")
        << with([](QJsonObject& o) { o["extra"] = 1; }) << "unknown key \"extra\"";
    QTest::newRow("unit not an object")
        << with([](QJsonObject& o) { o["unit"] = 5; }) << "\"unit\" must be an object";

    // Two equal keys: which one the author meant cannot be known.
    QJsonObject withUnit = goodProfile();
    withUnit["unit"] = QJsonObject{{"serial", 5}};
    QTest::newRow("duplicate at the top")
        << edited(goodProfile(), "\"format\": 1", "\"format\": 2, \"format\": 1")
        << "duplicate key \"format\" at the top level";
    QTest::newRow("duplicate in unit")
        << edited(withUnit, "\"serial\": 5", "\"serial\": 5, \"serial\": 6")
        << "duplicate key \"serial\" in \"unit\"";
    QTest::newRow("duplicate in a channel, spelt with an escape")
        << edited(goodProfile(), "\"input_mhz\": 1002",
                  "\"input_mhz\": 99999, \"input_\\u006dhz\": 1002")
        << "duplicate key \"input_mhz\" in converter 3";
    // Every number is checked in range before it is converted.
    QJsonObject numbered = withUnit;
    setChannelKey(numbered, 2, "converter", 3);
    const struct {
        const char *from, *message;
    } huge[] = {{"\"format\": 1", "\"format\" must be 1, found 1e+300"},
                {"\"serial\": 5", "unit: \"serial\" 1e+300 is out of range"},
                {"\"converter\": 3", "converter 3: \"converter\" must be 3"},
                {"\"carrier\": 1", "converter 1: \"carrier\" 1e+300 is out of range (0 to 1)"},
                {"\"sat\": 1", "converter 1: \"sat\" 1e+300 is out of range (1 to 4)"},
                {"\"input_mhz\": 1000", "converter 1: \"input_mhz\" 1e+300 is out of range"},
                {"\"gain\": 0", "converter 1: \"gain\" 1e+300 is out of range"}};
    for (const auto& h : huge) {
        QByteArray to(h.from);
        to = to.left(to.indexOf(':') + 2) + "1e300";
        QTest::newRow(qPrintable(QStringLiteral("1e300 as %1").arg(QLatin1String(h.from))))
            << edited(numbered, h.from, to.constData()) << h.message;
    }
    // A record read from a unit is checked as a plan once it has been changed.
    QJsonObject changed = unitRecord();
    setChannelKey(changed, 0, "gain", 1);
    QTest::newRow("changed record of a unit")
        << QJsonDocument(changed).toJson()
        << "converter 3: \"input_mhz\" 3000 is out of range (950 to 2150) (the file was read "
           "from a unit and changed since";
}

void TstCli::badProfilesAreRefusedBeforeThePort() {
    QFETCH(QByteArray, content);
    QFETCH(QString, message);
    Tools t;
    const QString file = t.file(QStringLiteral("bad.json"), content);
    // A port that does not exist: exit code 2, not 3, shows the port was never touched.
    const Run r = t.cli({QStringLiteral("--port"), QStringLiteral("/dev/does-not-exist"),
                         QStringLiteral("write"), file});
    QCOMPARE(r.code, 2);
    QVERIFY2(r.err.contains(file) && r.err.contains(message), qPrintable(r.err));
}

void TstCli::linkFailureAndPortProblems() {
    Tools t;
    // The simulator's terminal, reached through the link it was asked to make.
    const QString linked = t.path(QStringLiteral("ttyMERIDAN"));
    const QString tty = t.startSim(
        {QStringLiteral("--no-reply-at"), QStringLiteral("6"), QStringLiteral("--link"), linked});
    QCOMPARE(QFileInfo(linked).symLinkTarget(), tty);
    Run r = t.cli({QStringLiteral("--port"), linked, QStringLiteral("read")});
    QCOMPARE(r.code, 1);
    QCOMPARE(r.err.trimmed(), QStringLiteral("Connect Error: Connection aborted!"));
    QVERIFY(r.out.isEmpty());

    r = t.cli(
        {QStringLiteral("--port"), t.path(QStringLiteral("no-such-tty")), QStringLiteral("read")});
    QCOMPARE(r.code, 3);
    QVERIFY2(r.err.startsWith(QStringLiteral("ComPortError: Com Port ")), qPrintable(r.err));

    // A port number maps to its device through the settings.
    const QString conf = t.file(QStringLiteral("Meridan/Meridan Converter.conf"), QByteArray());
    Q_UNUSED(conf);
    QDir().mkpath(t.path(QStringLiteral("Meridan")));
    t.file(QStringLiteral("Meridan/Meridan Converter.conf"),
           QStringLiteral("[Ports]\nCom7=%1\n").arg(tty).toUtf8());
    r = t.cli({QStringLiteral("--port"), QStringLiteral("Com7"), QStringLiteral("read")});
    QCOMPARE(r.code, 1);  // reached the unit, which still fails its 6th command
    r = t.cli({QStringLiteral("--port"), QStringLiteral("Com16"), QStringLiteral("read")});
    QCOMPARE(r.code, 2);

    const QString folder = t.path(QStringLiteral("Meridan"));
    r = t.cli({QStringLiteral("--port"), tty, QStringLiteral("write"), folder});
    QCOMPARE(r.code, 2);
    QVERIFY(r.err.contains(QStringLiteral("a folder")));
    r = t.cli({QStringLiteral("--port"), tty, QStringLiteral("write"),
               t.path(QStringLiteral("none.json"))});
    QCOMPARE(r.code, 2);
    QVERIFY(r.err.contains(QStringLiteral("cannot be read")));
}

void TstCli::usage() {
    Tools t;
    QCOMPARE(t.cli({}).code, 2);
    QCOMPARE(t.cli({QStringLiteral("--bogus")}).code, 2);
    QCOMPARE(t.cli({QStringLiteral("--port"), QStringLiteral("Com1"), QStringLiteral("fly")}).code,
             2);
    const Run help = t.cli({QStringLiteral("--help")});
    QCOMPARE(help.code, 0);
    QVERIFY(help.out.contains(QStringLiteral("Exit codes")));
    QCOMPARE(t.cli({QStringLiteral("--version")}).out, QStringLiteral("meridan-cli 1.0.0\n"));
    // No port given and none stored by the program; a stored number out of range is none too.
    QCOMPARE(t.cli({QStringLiteral("read")}).code, 2);
    Pty com1;
    t.file(QStringLiteral("Meridan/Meridan Converter.conf"),
           QStringLiteral("[Ports]\nCom1=%1\n[Settings]\nCOM-Port=4294967297\n")
               .arg(com1.path())
               .toUtf8());
    const Run wrapped = t.cli({QStringLiteral("read")}, 10000);
    QCOMPARE(wrapped.code, 2);
    QVERIFY2(wrapped.err.contains(QStringLiteral("\"4294967297\", not a port number")),
             qPrintable(wrapped.err));
    QVERIFY(com1.received().isEmpty());

    // The other programs answer --help and --version at once and refuse what they do not know.
    for (const char* program : {MERIDAN_SIM, MERIDAN_BENCH}) {
        QProcess p;
        p.start(QLatin1String(program), {QStringLiteral("--help")});
        QVERIFY2(p.waitForFinished(10000), program);
        QCOMPARE(p.exitCode(), 0);
        QVERIFY(p.readAllStandardOutput().contains("--version"));
        p.start(QLatin1String(program), {QStringLiteral("--version")});
        QVERIFY(p.waitForFinished(10000));
        QVERIFY(p.readAllStandardOutput().endsWith(" 1.0.0\n"));
        p.start(QLatin1String(program), {QStringLiteral("--bogus")});
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 2);
    }

    // A message box's carriage return is a line break on the terminal.
    QString shown;
    QTextStream stream(&shown);
    cli::StreamMessages messages(stream);
    messages.show(QStringLiteral("Update error\rUpdate Fehler"), QStringLiteral("Update Error"),
                  MessageIcon::Critical, MessageButtons::Ok);
    QCOMPARE(shown, QStringLiteral("Update Error: Update error\nUpdate Fehler\n"));
}

namespace {
QJsonObject readJson(Tools& t, const QString& tty) {
    const Run r =
        t.cli({QStringLiteral("--port"), tty, QStringLiteral("read"), QStringLiteral("--json")});
    return QJsonDocument::fromJson(r.out.toUtf8()).object();
}

QJsonObject withChannel(QJsonObject unit, int i, const QString& key, const QJsonValue& v) {
    setChannelKey(unit, i, key, v);
    return unit;
}
}  // namespace

void TstCli::diffWriteBackupRestore() {
    Tools t;
    const QString tty = t.startSim({});
    const QJsonObject original = readJson(t, tty);
    const QString same = t.file(QStringLiteral("same.json"), QJsonDocument(original).toJson());
    Run r = t.cli({QStringLiteral("--port"), tty, QStringLiteral("diff"), same});
    QCOMPARE(r.code, 0);
    QVERIFY(r.out.isEmpty());

    QJsonObject plan = withChannel(original, 2, QStringLiteral("input_mhz"), 1250);
    plan = withChannel(plan, 0, QStringLiteral("carrier"), 0);
    plan = withChannel(plan, 4, QStringLiteral("sat"), 4);
    plan = withChannel(plan, 7, QStringLiteral("gain"), 0);
    const QString planFile = t.file(QStringLiteral("plan.json"), QJsonDocument(plan).toJson());
    r = t.cli({QStringLiteral("--port"), tty, QStringLiteral("diff"), planFile});
    QCOMPARE(r.code, 4);
    QCOMPARE(r.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts),
             (QStringList{"Converter 1: carrier ON on unit, OFF in profile",
                          "Converter 3: input 1097 MHz on unit, 1250 MHz in profile",
                          "Converter 5: SAT 1 on unit, SAT 4 in profile",
                          "Converter 8: gain ON on unit, OFF in profile"}));

    // Writing keeps the unit's plan in a dated backup first, and reads the result back.
    const QString backups = t.path(QStringLiteral("backups"));
    r = t.cli({QStringLiteral("--port"), tty, QStringLiteral("write"), planFile,
               QStringLiteral("--backup-dir"), backups});
    QCOMPARE(r.code, 0);
    QVERIFY2(r.out.contains(QStringLiteral("Read back: the unit holds the plan.")),
             qPrintable(r.out));
    const QStringList saved = QDir(backups).entryList({QStringLiteral("*.json")}, QDir::Files);
    QCOMPARE(saved.size(), 1);
    QVERIFY(saved[0].startsWith(QStringLiteral("MC_1200-10423-")));
    QCOMPARE(t.cli({QStringLiteral("--port"), tty, QStringLiteral("diff"), planFile}).code, 0);

    // The backup restores the unit as it was.
    const QString backup = QDir(backups).filePath(saved[0]);
    r = t.cli({QStringLiteral("--port"), tty, QStringLiteral("write"), backup,
               QStringLiteral("--no-backup")});
    QCOMPARE(r.code, 0);
    QVERIFY(!r.out.contains(QStringLiteral("Backup")));
    QCOMPARE(QDir(backups).entryList({QStringLiteral("*.json")}, QDir::Files).size(), 1);
    QCOMPARE(t.cli({QStringLiteral("--port"), tty, QStringLiteral("diff"), same}).code, 0);

    // Without --backup-dir the backup goes to the data folder.
    r = t.cli({QStringLiteral("--port"), tty, QStringLiteral("write"), same});
    QCOMPARE(r.code, 0);
    QCOMPARE(QDir(t.path(QStringLiteral("data/meridan/backups"))).entryList(QDir::Files).size(), 1);
}

void TstCli::readBackReportsWhatTheUnitKept() {
    Tools t;
    const QString tty = t.startSim({QStringLiteral("--frozen-converter"), QStringLiteral("5")});
    const QJsonObject plan = withChannel(readJson(t, tty), 4, QStringLiteral("input_mhz"), 1300);
    const QString file = t.file(QStringLiteral("plan.json"), QJsonDocument(plan).toJson());
    const Run r = t.cli({QStringLiteral("--port"), tty, QStringLiteral("write"), file,
                         QStringLiteral("--no-backup")});
    QCOMPARE(r.code, 4);
    QVERIFY2(
        r.out.contains(QStringLiteral("Converter 5: input 1185 MHz on unit, 1300 MHz written")),
        qPrintable(r.out));
}

void TstCli::dryRunSendsNothing() {
    Tools t;
    const QString file = t.file(QStringLiteral("plan.json"), QJsonDocument(goodProfile()).toJson());
    // No port is opened: one that does not exist is fine.
    const Run r = t.cli({QStringLiteral("--port"), QStringLiteral("/dev/does-not-exist"),
                         QStringLiteral("write"), file, QStringLiteral("--dry-run")});
    QCOMPARE(r.code, 0);
    QVERIFY(r.out.contains(QStringLiteral("nothing is sent")));
    QVERIFY(
        r.out.contains(QStringLiteral("19 0b 00 00 03 f3 00 00 00 00 00 00 00 00 00   set input "
                                      "frequency (25), converter 12, value 1011")));
    // All three phases of a write: backup read, write and store, read-back.
    QVERIFY2(r.out.contains(QStringLiteral("1. Backup read (")) &&
                 r.out.contains(QStringLiteral("2. Write and store:")) &&
                 r.out.contains(QStringLiteral("3. Read back (")),
             qPrintable(r.out));
    QCOMPARE(r.out.count(QStringLiteral("TS   connection request")), 3);
    QCOMPARE(r.out.count(QStringLiteral("89 commands.")), 2);
    QVERIFY(r.out.contains(QStringLiteral("74 commands.")));
    QVERIFY(r.out.contains(QStringLiteral("252 commands in all.")));
    QVERIFY(!QDir(t.path(QStringLiteral("data/meridan/backups"))).exists());
    const Run bare = t.cli({QStringLiteral("--port"), QStringLiteral("/dev/does-not-exist"),
                            QStringLiteral("write"), file, QStringLiteral("--dry-run"),
                            QStringLiteral("--no-backup")});
    QVERIFY(bare.out.contains(QStringLiteral("1. Backup read: left out (--no-backup).")));
    QVERIFY(bare.out.contains(QStringLiteral("163 commands in all.")));
}

void TstCli::traceDecodesAFullRead() {
    Tools t;
    const QString tty = t.startSim({});
    const QString trace = t.path(QStringLiteral("wire.txt"));
    QCOMPARE(t.cli({QStringLiteral("--port"), tty, QStringLiteral("--trace"), trace,
                    QStringLiteral("read")})
                 .code,
             0);
    QFile f(trace);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(f.readAll());
    QVERIFY(text.startsWith(QStringLiteral("# meridan-cli ")));
    for (const char* expected :
         {"->  54 53", "connection request", "read unit type (48)", "text \"MC 1200\"",
          "read serial number (21)", "value 10423", "read input frequency (24), converter 12",
          "value 1582", "read output frequency (27), converter 2", "value 482", "acknowledge",
          "end of command", "end of communication (40)"}) {
        QVERIFY2(text.contains(QLatin1String(expected)), expected);
    }
    // Every byte: 88 frames and the end command, each on a line of its own.
    QCOMPARE(text.count(QStringLiteral("->  ")) - text.count(QStringLiteral("acknowledge")),
             1 + 89);
}

void TstCli::flashWithAStallAndARestart() {
    Tools t;
    const QString received = t.path(QStringLiteral("received.bin"));
    const QString tty = t.startSim({QStringLiteral("--stall-sector"), QStringLiteral("1"),
                                    QStringLiteral("--firmware-out"), received});
    QByteArray image(65536 + 3000, '\0');
    for (int k = 0; k < image.size(); ++k)
        image[k] = static_cast<char>(k * 11);
    const QString file = t.file(QStringLiteral("VELNO_S5.bin"), image);
    const QString trace = t.path(QStringLiteral("flash.txt"));
    const Run r = t.cli({QStringLiteral("--port"), tty, QStringLiteral("--trace"), trace,
                         QStringLiteral("flash"), file});
    QCOMPARE(r.code, 0);
    QVERIFY2(r.out.contains(QStringLiteral("131072 bytes (2 sectors) in 2 attempts")),
             qPrintable(r.out));
    QVERIFY(r.out.contains(QStringLiteral("of the 5760 B/s line rate")));
    QVERIFY2(r.err.contains(QStringLiteral("The module stopped answering: starting again")),
             qPrintable(r.err));
    QVERIFY(r.err.contains(QStringLiteral("100%  sector 2/2  block 4")));
    QFile got(received);
    QVERIFY(got.open(QIODevice::ReadOnly));
    QVERIFY(got.readAll() == image + QByteArray(2 * 65536 - image.size(), ' '));
    QFile tf(trace);
    QVERIFY(tf.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(tf.readAll());
    QCOMPARE(text.count(QStringLiteral("firmware update request")), 2);
    QCOMPARE(text.count(QStringLiteral("sector count 2")), 2);
}

void TstCli::badImagesAndPorts_data() {
    QTest::addColumn<QString>("what");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");
    QTest::newRow("empty image") << "empty" << 2 << "is empty!";
    QTest::newRow("image too large") << "large" << 2 << "has 256 sectors of 64 KiB; at most 255";
    QTest::newRow("image is a folder") << "folder" << 2 << "not a regular file (a folder)";
    QTest::newRow("no such image") << "missing" << 2 << "no such file";
    QTest::newRow("port does not exist") << "noport" << 3 << "ComPortError: Com Port";
    QTest::newRow("port is not a serial device")
        << "notserial" << 3 << "ComPortError: Com Port /dev/null";
    QTest::newRow("trace file cannot be written") << "trace" << 2 << "cannot be written";
}

void TstCli::badImagesAndPorts() {
    QFETCH(QString, what);
    QFETCH(int, code);
    QFETCH(QString, message);
    Tools t;
    QString image = t.file(QStringLiteral("VELNO_S1.bin"), QByteArray(100, 'x'));
    QString port = QStringLiteral("/dev/does-not-exist");  // an image check must come first
    QStringList extra;
    if (what == QLatin1String("empty")) {
        image = t.file(QStringLiteral("empty.bin"), QByteArray());
    } else if (what == QLatin1String("large")) {
        image = t.path(QStringLiteral("large.bin"));
        QFile f(image);
        QVERIFY(f.open(QIODevice::WriteOnly));
        QVERIFY(f.resize(255 * 65536 + 1));
    } else if (what == QLatin1String("folder")) {
        image = t.path(QString());
    } else if (what == QLatin1String("missing")) {
        image = t.path(QStringLiteral("none.bin"));
    } else if (what == QLatin1String("notserial")) {
        port = QStringLiteral("/dev/null");
    } else if (what == QLatin1String("trace")) {
        extra = {QStringLiteral("--trace"), t.path(QStringLiteral("no/such/folder/t.txt"))};
    }
    const Run r =
        t.cli(extra + QStringList{QStringLiteral("--port"), port, QStringLiteral("flash"), image});
    QCOMPARE(r.code, code);
    QVERIFY2(r.err.contains(message), qPrintable(r.err));
    if (code == 2 && what != QLatin1String("trace")) QVERIFY(r.err.contains(image));
}

void TstCli::ports() {
    Tools t;
    // A fresh machine: no settings at all, and ports needs no port.
    Run r = t.cli({"ports"});
    QCOMPARE(r.code, 0);
    QCOMPARE(r.out.count(QLatin1Char('\n')), 15);

    const QString tty = t.startSim({});
    Pty held;
    QtSerialPort other{PortMap()};  // another program holds this one
    other.setDevicePath(held.path());
    QVERIFY(other.open());
    const QByteArray conf = "[Ports]\nCom3=" + tty.toUtf8() + "\nCom5=" + t.path("ttyQ").toUtf8() +
                            '\0' + "X\nCom7=" + held.path().toUtf8() + '\n';
    t.file("Meridan/Meridan Converter.conf", conf + "[Settings]\nCOM-Port=5\n");
    r = t.cli({"ports"});
    QCOMPARE(r.code, 0);
    const QStringList lines = r.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 15);
    QVERIFY2(lines[2].startsWith("Com3") && lines[2].contains(tty) && lines[2].endsWith("opens"),
             qPrintable(lines[2]));
    QVERIFY2(lines[4].contains("ttyQ\\x00X") && lines[4].contains("holds a control character"),
             qPrintable(lines[4]));
    QVERIFY2(lines[6].endsWith("- (it is in use by another program)"), qPrintable(lines[6]));

    // The stored port's device has a NUL in its setting: every start ends with the message
    // (Qt would leave a lock file it cannot remove, and crash on the next start).
    for (int start = 1; start <= 3; ++start) {
        r = t.cli({"read"}, 20000);
        QCOMPARE(r.code, 2);
        QVERIFY2(r.err.contains("the setting Com5 in section [Ports] of ") &&
                     r.err.contains("holds a control character"),
                 qPrintable(r.err));
    }
    r = t.cli({"--port", "/dev/tty\x01X", "read"});
    QCOMPARE(r.code, 2);
    QVERIFY2(r.err.contains("--port \"/dev/tty\\x01X\" holds a control character"),
             qPrintable(r.err));
    r = t.cli({"--port", "Com7", "read"});
    QCOMPARE(r.code, 3);
    QCOMPARE(r.err.trimmed(),
             QStringLiteral("ComPortError: Com Port %1 could not be opened: it is in use by "
                            "another program")
                 .arg(held.path()));
}

void TstCli::hostileFilesAreRefusedAtOnce_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("message");
    QTest::newRow("write a FIFO") << QStringList{"write", "@fifo"} << "not a regular file (a FIFO)";
    QTest::newRow("diff a FIFO") << QStringList{"diff", "@fifo"} << "not a regular file (a FIFO)";
    QTest::newRow("flash a FIFO") << QStringList{"flash", "@fifo"} << "not a regular file (a FIFO)";
    QTest::newRow("trace to a FIFO") << QStringList{"--trace", "@fifo", "read"}
                                     << "cannot be written: not a regular file (a FIFO)";
    QTest::newRow("write /dev/zero")
        << QStringList{"write", "/dev/zero"} << "not a regular file (a device)";
    QTest::newRow("link to /dev/zero")
        << QStringList{"diff", "@zero"} << "not a regular file (a device)";
    QTest::newRow("2 MiB profile")
        << QStringList{"write", "@big"} << "is larger than 1048576 bytes";
    QTest::newRow("folder") << QStringList{"write", "@folder"} << "not a regular file (a folder)";
    QTest::newRow("backup folder cannot be created")
        << QStringList{"write", "@plan", "--backup-dir", "/proc/nope/bk"}
        << "no backup can be kept: the folder /proc/nope/bk cannot be created";
}

void TstCli::hostileFilesAreRefusedAtOnce() {
    QFETCH(QStringList, args);
    QFETCH(QString, message);
    Tools t;
    Pty unit;  // a device that records whatever reaches it
    const QString fifo = t.path("fifo");
    QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
    QVERIFY(QFile::link("/dev/zero", t.path("zero")));
    t.file("big.json", QByteArray(2 * 1024 * 1024, ' '));
    t.file("plan.json", QJsonDocument(goodProfile()).toJson());
    QDir().mkpath(t.path("folder"));
    for (QString& a : args) {
        if (!a.startsWith(QLatin1Char('@'))) continue;
        const QString name = a.mid(1);
        a = t.path(name == QLatin1String("big") || name == QLatin1String("plan") ? name + ".json"
                                                                                 : name);
    }
    const Run r = t.cli(QStringList{"--port", unit.path()} + args, 10000);
    QCOMPARE(r.code, 2);
    QVERIFY2(r.err.contains(message), qPrintable(r.err));
    QVERIFY2(r.ms < 1000, qPrintable(QString::number(r.ms)));
    QVERIFY(unit.received().isEmpty());
}

void TstCli::backupRestoresWhatTheUnitHeld() {
    Tools t;
    // A unit holding values no plan may hold.
    sim::HeadendState odd = sim::HeadendState::demo();
    odd.channels[2].polarisation = 5;
    odd.channels[4].gain = 3;
    odd.channels[6].carrier = 2;
    odd.channels[8].inFreq = 3000;
    const QString state = t.path("unit.json");
    QVERIFY(sim::saveStateFile(state, odd, nullptr));
    const QString tty = t.startSim({"--state", state});

    // Shown as read, marked, and read says so.
    Run r = t.cli({"--port", tty, "read"});
    QCOMPARE(r.code, 4);
    for (const char* cell : {"SAT code 5!", "3!", "2!", "3000!"})
        QVERIFY2(r.out.contains(QLatin1String(cell)), cell);
    QVERIFY2(r.err.contains("converter 9: input 3000 MHz (950 to 2150)"), qPrintable(r.err));

    const QString plan = t.file("plan.json", QJsonDocument(goodProfile()).toJson());
    const QString backups = t.path("backups");
    r = t.cli({"--port", tty, "write", plan, "--backup-dir", backups});
    QCOMPARE(r.code, 0);
    const QStringList saved = QDir(backups).entryList({"*.json"}, QDir::Files);
    QCOMPARE(saved.size(), 1);
    r = t.cli({"--port", tty, "write", QDir(backups).filePath(saved[0]), "--no-backup"});
    QCOMPARE(r.code, 0);
    const auto restored = sim::loadStateFile(state, nullptr);
    QVERIFY(restored.has_value());
    for (int i = 0; i < ConverterCount; ++i) {
        const sim::SimChannel &a = odd.channels[i], &b = restored->channels[i];
        QCOMPARE(b.carrier, a.carrier);
        QCOMPARE(b.polarisation, a.polarisation);
        QCOMPARE(b.inFreq, a.inFreq);
        QCOMPARE(b.gain, a.gain);
    }
}

void TstCli::writeThatDoesNotComplete_data() {
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<QString>("interruptAt");  // Ctrl+C once the trace shows this
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");  // a pattern
    QTest::addColumn<bool>("stored");
    // 72 commands for the converters, then the store and the end command.
    QTest::newRow("no answer to the store")
        << QStringList{"--no-reply-at", "73"} << "" << 1
        << "plan sent to all 12 converters, but the unit did not confirm the store" << false;
    QTest::newRow("no answer to the end command")
        << QStringList{"--no-reply-at", "74"} << "" << 1
        << "the plan was stored in the unit, but the end of communication failed" << true;
    QTest::newRow("Ctrl+C during the set commands")
        << QStringList{"--reply-delay", "0.02"} << "set carrier (46), converter 5" << 130
        << "interrupted: plan not stored: the unit runs converters 1-(\\d+) changed, (\\d+)-12 as "
           "before; the backup is .*backups/MC_1200-"
        << false;
    QTest::newRow("Ctrl+C after the store")
        << QStringList{"--reply-delay", "0.02"} << "store settings (33)" << 130
        << "interrupted: plan stored; not read back" << true;
}

void TstCli::writeThatDoesNotComplete() {
    QFETCH(QStringList, simArgs);
    QFETCH(QString, interruptAt);
    QFETCH(int, code);
    QFETCH(QString, message);
    QFETCH(bool, stored);
    Tools t;
    const QString state = t.path("unit.json");
    const QString tty = t.startSim(QStringList{"--state", state} + simArgs);
    const QString plan = t.file("plan.json", QJsonDocument(goodProfile()).toJson());
    const QString trace = t.path("wire.txt");
    const QStringList backup = interruptAt.isEmpty()
                                   ? QStringList{"--no-backup"}
                                   : QStringList{"--backup-dir", t.path("backups")};
    const Run r = t.cli(
        QStringList{"--port", tty, "--trace", trace, "write", plan} + backup, 60000,
        [&](QProcess& p) {
            // The trace is written line by line, so it shows the frame at once.
            QFile f(trace);
            for (int k = 0; k < 6000 && !interruptAt.isEmpty(); ++k) {
                if (f.open(QIODevice::ReadOnly) && f.readAll().contains(interruptAt.toUtf8())) {
                    ::kill(static_cast<pid_t>(p.processId()), SIGINT);
                    return;
                }
                f.close();
                QThread::msleep(5);
            }
        });
    QCOMPARE(r.code, code);
    const auto m = QRegularExpression(message).match(r.err);
    QVERIFY2(m.hasMatch(), qPrintable(r.err));
    if (m.lastCapturedIndex() == 2) QCOMPARE(m.captured(1).toInt() + 1, m.captured(2).toInt());
    QCOMPARE(QFile::exists(state), stored);
    QVERIFY(!r.out.contains("Read back"));
    if (code != 130) return;
    // The trace ends with the end command and the unit's answer to it.
    QFile f(trace);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QStringList wire;
    for (const QString& line : QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'))) {
        if (line.contains("  ->  ") || line.contains("  <-  ")) wire << line;
    }
    QVERIFY(wire.size() >= 2);
    QVERIFY2(wire[wire.size() - 2].endsWith("end of communication (40)"),
             qPrintable(wire[wire.size() - 2]));
    QVERIFY2(wire.last().endsWith("end of command"), qPrintable(wire.last()));
}

void TstCli::flashOneSector() {
    Tools t;
    const QString tty = t.startSim({});
    const QString file = t.file("VELNO_S1.bin", QByteArray(65536, 'v'));
    const Run r = t.cli({"--port", tty, "flash", file});
    QCOMPARE(r.code, 0);
    // Done when the module has confirmed: 1 + 0.5 + 1 + 1 + 0.5 s of pauses, not 5 s more.
    static const QRegularExpression summary(
        "65536 bytes \\(1 sector\\) in 1 attempt, ([0-9.]+) s;");
    const auto m = summary.match(r.out);
    QVERIFY2(m.hasMatch() && m.captured(1).toDouble() < 7.0, qPrintable(r.out));
}

void TstCli::networkPorts_data() {
    // The simulator's options (none: nothing listens; "mute": a socket that is listened on and
    // never served), the address's scheme, the exit code and the one message.
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<QString>("scheme");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");
    const QString notOpened =
        QStringLiteral("ComPortError: Com Port ADDRESS could not be opened: ");
    QTest::newRow("dropped mid-read")
        << QStringList{"--drop-connection-at", "10"} << "tcp" << 1
        << "ComPortError: Com Port lost: ADDRESS is no longer available!";
    QTest::newRow("refused") << QStringList{} << "tcp" << 3 << notOpened + "Connection refused";
    QTest::newRow("line settings never answered")
        << QStringList{"mute"} << "rfc2217" << 3
        << notOpened +
               "the server did not confirm the line settings within 5 s (no answer "
               "about: baud rate, data size, parity, stop bits, flow control)";
    QTest::newRow("no port number") << QStringList{"mute"} << "tcp:" << 2
                                    << notOpened + "the address names no TCP port (HOST:PORT)";
}

void TstCli::networkPorts() {
    QFETCH(QStringList, simArgs);
    QFETCH(QString, scheme);
    QFETCH(int, code);
    QFETCH(QString, message);
    Tools t;
    QTcpServer mute;  // the test waits for the tool without an event loop: nothing is served
    QString address = QStringLiteral("tcp://127.0.0.1:%1").arg(test::freeTcpPort());
    if (simArgs == QStringList{"mute"}) {
        QVERIFY(mute.listen(QHostAddress::LocalHost, 0));
        address = scheme == QLatin1String("tcp:")
                      ? QStringLiteral("tcp://127.0.0.1")
                      : QStringLiteral("%1://127.0.0.1:%2").arg(scheme).arg(mute.serverPort());
    } else if (!simArgs.isEmpty()) {
        address = t.startSim(QStringList{"--tcp", "127.0.0.1:0"} + simArgs);
        QVERIFY2(address.startsWith(scheme + "://127.0.0.1:"), qPrintable(address));
    }
    const Run r = t.cli({QStringLiteral("--port"), address, QStringLiteral("read")});
    QCOMPARE(r.code, code);
    QCOMPARE(r.err.trimmed(), QString(message).replace(QStringLiteral("ADDRESS"), address));
}

void TstCli::fleetRefusesBeforeAnyUnit_data() {
    // The inventory (PORT: a port nothing listens on) and the fleet's arguments after it;
    // every case exits with 2 before a unit is touched (a unit that was would fail with 1).
    QTest::addColumn<QByteArray>("inventory");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("message");
    const QByteArray one = "name,port,profile\nroof,tcp://127.0.0.1:PORT,\n";
    QTest::newRow("no profile") << one << QStringList{"write"}
                                << "roof (line 2) has no profile, and none is given after write";
    QTest::newRow("a bad profile")
        << one << QStringList{"diff", "bad.json"} << "bad.json: not valid JSON";
    QTest::newRow("an empty image") << one << QStringList{"flash", "empty.bin"} << "empty.bin";
    QTest::newRow("two units on one port")
        << QByteArray("name,port\na,tcp://127.0.0.1:PORT\nb,TCP://127.0.0.1:PORT\n")
        << QStringList{"read"} << "a (line 2) and b (line 3) are on the same port";
    QTest::newRow("report in no folder")
        << one << QStringList{"read", "--report", "no/r.json"}
        << "r.json cannot be written: No such file or directory; no unit was touched";
    QTest::newRow("unknown column") << QByteArray("name,prot\na,Com1\n") << QStringList{"read"}
                                    << "line 1: unknown column \"prot\"";
    QTest::newRow("a field too many") << QByteArray("name,port\na,Com1,x\n") << QStringList{"read"}
                                      << "line 2: 3 fields, the header has 2";
    QTest::newRow("unclosed quote") << QByteArray("name,port\na,\"Com1\nb\n") << QStringList{"read"}
                                    << "line 2: a quoted field is not closed";
    QTest::newRow("name twice") << QByteArray("name,port\na,Com1\na,Com2\n") << QStringList{"read"}
                                << "the name \"a\" is taken by line 2";
    QTest::newRow("no such port") << QByteArray("name,port\na,Com16\n") << QStringList{"read"}
                                  << "port \"Com16\" is not Com1 to Com15";
    QTest::newRow("control character")
        << QByteArray("name,port\na,/dev/tty\x1b\n") << QStringList{"read"} << "control character";
    QTest::newRow("json: key twice")
        << QByteArray("[{\"name\": \"a\", \"port\": \"Com1\", \"port\": \"Com2\"}]")
        << QStringList{"read"} << "duplicate key \"port\"";
}

void TstCli::fleetRefusesBeforeAnyUnit() {
    QFETCH(QByteArray, inventory);
    QFETCH(QStringList, args);
    QFETCH(QString, message);
    Tools t;
    t.file(QStringLiteral("bad.json"), "{");
    t.file(QStringLiteral("empty.bin"), QByteArray());
    const QByteArray port = QByteArray::number(test::freeTcpPort());
    const QString name = inventory.startsWith('[') ? "units.json" : "units.csv";
    QStringList full{"fleet", t.file(name, inventory.replace("PORT", port))};
    for (const QString& a : args)
        full << (a.contains(QLatin1Char('.')) ? t.path(a) : a);
    const Run r = t.cli(full);
    QCOMPARE(r.code, 2);
    QVERIFY2(r.err.contains(message), qPrintable(r.err));
    QVERIFY(r.out.isEmpty());
}

void TstCli::fleetOfEightUnits() {
    // Five good units, one silent, one that refuses the connection, one with a frozen
    // converter; the plan is written to all of them at once.
    Tools t, silent, frozen;
    const QString states = t.path(QStringLiteral("units"));
    QStringList ports{t.startSim({"--tcp", "127.0.0.1:0", "--units", "5", "--state-dir", states})};
    ports += t.simLines(4);
    ports << silent.startSim({"--tcp", "127.0.0.1:0", "--silent"})
          << QStringLiteral("tcp://127.0.0.1:%1").arg(test::freeTcpPort())
          << frozen.startSim({"--tcp", "127.0.0.1:0", "--frozen-converter", "5"});
    const QStringList names{"roof-1", "roof-2", "roof-3",  "roof-4",
                            "roof-5", "silent", "refused", "frozen"};
    // With a byte order mark, CR LF, a comment, quotes and a profile beside the inventory.
    QByteArray csv = "\xEF\xBB\xBF\"name\",port,profile\r\n# the roof\r\n";
    for (int k = 0; k < names.size(); ++k)
        csv += (names[k] + ",\"" + ports.value(k) + "\"," + (k == 7 ? "site.json" : "") + "\r\n")
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
    // The summary and the report name each unit's result, and why.
    const QStringList results{"ok", "ok", "ok", "ok", "ok", "failed", "failed", "differs"};
    QStringList reasons(5);
    reasons << "Connection could not be established!"
            << "Connection refused"
            << "field not taken: Converter 5: input";
    QFile f(report);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QJsonArray got = QJsonDocument::fromJson(f.readAll())["units"].toArray();
    QCOMPARE(got.size(), 8);
    for (int k = 0; k < names.size(); ++k) {
        const QRegularExpression line(
            QStringLiteral("^%1 .* %2 .*%3")
                .arg(names[k], results[k], QRegularExpression::escape(reasons[k])),
            QRegularExpression::MultilineOption);
        QVERIFY2(line.match(r.out).hasMatch(), qPrintable(names[k] + '\n' + r.out));
        QCOMPARE(got[k]["name"].toString() + ' ' + got[k]["result"].toString(),
                 names[k] + ' ' + results[k]);
    }
    QVERIFY2(r.out.contains("8 units: 5 ok, 1 differs, 2 failed"), qPrintable(r.out));
    // The good units hold the plan, and each written unit has its backup.
    for (int k = 1; k <= 5; ++k) {
        QString why;
        const auto stored =
            sim::loadStateFile(QStringLiteral("%1/unit-%2.json").arg(states).arg(k), &why);
        QVERIFY2(stored && stored->channels[11].inFreq == 1011, qPrintable(why));
    }
    QCOMPARE(QDir(t.path("backups")).entryList(QDir::Files).size(), 6);
}

QTEST_GUILESS_MAIN(TstCli)
#include "tst_cli.moc"
