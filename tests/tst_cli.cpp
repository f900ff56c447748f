// meridan-cli against meridan-headend-sim on a real pseudo-terminal, in real time, and the
// checks of profile files.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include "cli/profile.h"
#include "sim/statefile.h"

using namespace meridan;

namespace {

struct Run {
    int code = -1;
    QString out, err;
};

class Tools {
  public:
    Tools() {
        env_ = QProcessEnvironment::systemEnvironment();
        env_.insert(QStringLiteral("XDG_CONFIG_HOME"), home_.path());
    }
    ~Tools() {
        if (sim_.state() != QProcess::NotRunning) {
            sim_.terminate();
            sim_.waitForFinished(5000);
        }
    }

    // Starts the simulator and returns its terminal's path.
    QString startSim(const QStringList& args) {
        sim_.setProcessEnvironment(env_);
        sim_.start(QStringLiteral(MERIDAN_SIM), args);
        if (!sim_.waitForStarted(5000)) return {};
        while (!sim_.canReadLine()) {
            if (!sim_.waitForReadyRead(5000)) return {};
        }
        return QString::fromLocal8Bit(sim_.readLine()).trimmed();
    }
    QString simErrors() { return QString::fromLocal8Bit(sim_.readAllStandardError()); }

    Run cli(const QStringList& args) {
        QProcess p;
        p.setProcessEnvironment(env_);
        p.start(QStringLiteral(MERIDAN_CLI), args);
        Run r;
        if (!p.waitForFinished(120000)) return r;
        r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
        r.out = QString::fromLocal8Bit(p.readAllStandardOutput());
        r.err = QString::fromLocal8Bit(p.readAllStandardError());
        return r;
    }

    QString file(const QString& name, const QByteArray& content) {
        const QString path = home_.filePath(name);
        QFile f(path);
        if (f.open(QIODevice::WriteOnly)) f.write(content);
        return path;
    }
    QString path(const QString& name) const { return home_.filePath(name); }

  private:
    QTemporaryDir home_;
    QProcessEnvironment env_;
    QProcess sim_;
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

}  // namespace

class TstCli : public QObject {
    Q_OBJECT
  private Q_SLOTS:
    void readWriteReadBack();
    void badProfilesAreRefusedBeforeThePort_data();
    void badProfilesAreRefusedBeforeThePort();
    void linkFailureAndPortProblems();
    void usage();
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
    const QString tty = t.startSim({QStringLiteral("--no-reply-at"), QStringLiteral("6")});
    Run r = t.cli({QStringLiteral("--port"), tty, QStringLiteral("read")});
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
    // No port given and none stored by the program.
    QCOMPARE(t.cli({QStringLiteral("read")}).code, 2);
}

QTEST_GUILESS_MAIN(TstCli)
#include "tst_cli.moc"
