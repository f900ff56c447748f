// The lock states served to phones: what the state says of a run (virtual time), who the
// server lets in and how many, a viewer that stops reading while the monitor runs on a paced
// line, meridan-cli monitor --serve against meridan-headend-sim, and the QR codes read back.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include "protocol/frame.h"
#include "sim/simprocess.h"
#include "support/rig.h"
#include "webmonitor/liveserver.h"
#include "webmonitor/qrcode.h"

using namespace meridan;
using namespace meridan::test;
using web::LiveServer;
using web::LiveState;

namespace {

// One HTTP client on 127.0.0.1: the reply's status and head, and, for an event stream, each
// state it brings.
class Client final : public QObject {
  public:
    Client(quint16 port, const QByteArray& request) {
        QObject::connect(&socket, &QTcpSocket::connected, this, [this, request] {
            socket.write(request + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        });
        QObject::connect(&socket, &QTcpSocket::readyRead, this, [this] { take(); });
        socket.connectToHost(QHostAddress::LocalHost, port);
    }
    bool waitForReply() {
        return QTest::qWaitFor([this] { return status != 0; }, 5000);
    }
    QJsonObject last() const { return states.isEmpty() ? QJsonObject() : states.last(); }

    QTcpSocket socket;
    int status = 0;
    QByteArray head, body;
    QList<QJsonObject> states;

  private:
    void take() {
        body += socket.readAll();
        if (status == 0) {
            const qsizetype end = body.indexOf("\r\n\r\n");
            if (end < 0) return;
            head = body.left(end);
            body.remove(0, end + 4);
            status = head.mid(9, 3).toInt();
        }
        if (!head.contains("text/event-stream")) return;
        for (qsizetype end; (end = body.indexOf("\n\n")) >= 0;) {
            if (body.startsWith("data: "))
                states.append(QJsonDocument::fromJson(body.mid(6, end - 6)).object());
            body.remove(0, end + 2);
        }
    }
};

// A viewer whose network has stalled: it asks for the stream and never reads a byte.
struct StalledViewer {
    int fd = -1;
    StalledViewer(quint16 port, const QByteArray& token) {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        const int small = 1024;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return;
        const QByteArray r = "GET /events?token=" + token + " HTTP/1.1\r\nHost: x\r\n\r\n";
        [[maybe_unused]] const auto n = ::send(fd, r.constData(), size_t(r.size()), 0);
    }
    ~StalledViewer() { ::close(fd); }
};

// A monitor run with the live state as its second observer, in virtual time.
struct Watched {
    SimRig rig;
    struct Quiet final : MonitorObserver {
        void round(const MonitorRound&) override {}
    } quiet;
    LockMonitor monitor{rig.link, quiet};
    LiveState state{rig.clock};
    Watched() {
        rig.model.setPaced(true);
        monitor.setWatcher(&state);
        monitor.setIdentify(true);
    }
    QJsonObject json() const { return QJsonDocument::fromJson(state.json()).object(); }
};

}  // namespace

class TstWebMonitor : public QObject {
    Q_OBJECT
  private Q_SLOTS:
    void stateOfARun_data();
    void stateOfARun();
    void access_data();
    void access();
    void atMostEightViewers();
    void stalledViewerIsDropped();
    void cliServesOnlyWhileTheMonitorRuns();
    void addressesAndTokens();
    void qrCodesReadBack();
};

void TstWebMonitor::stateOfARun_data() {
    // What goes wrong; the state while the monitor runs, and after it.
    QTest::addColumn<QStringList>("run");
    QTest::newRow("answers") << QStringList{"", "running", "stopped"};
    QTest::newRow("falls silent") << QStringList{"silent", "silent", "stopped"};
    QTest::newRow("port lost") << QStringList{"lost", "running", "portlost"};
}

void TstWebMonitor::stateOfARun() {
    QFETCH(QStringList, run);
    const QString fault = run[0], during = run[1], after = run[2];
    Watched w;
    w.rig.model.state().channels[4].inputLock = 0;
    QJsonObject seen;
    // The unit falls silent after its identity and a few rounds; the port goes away.
    if (fault == "silent") w.rig.pump.at(2.0, [&] { w.rig.model.faults().silent = true; });
    if (fault == "lost") w.rig.pump.at(9.0, [&] { w.rig.port.loseDevice(); });
    w.rig.pump.at(8.5, [&] { seen = w.json(); });
    w.rig.pump.at(10.0, [&] { w.monitor.stop(); });
    w.monitor.run({});

    QCOMPARE(seen["state"].toString(), during);
    QCOMPARE(w.json()["state"].toString(), after);
    // The unit's identity is read once, before the first round, and nothing but lock reads
    // follows.
    const QByteArray sent = w.rig.wire.sent();
    // A text is its length, "N", its bytes, "N".
    const QByteArray identity = CommandFrame::plain(ReadUnitType).bytes() + "NN" +
                                CommandFrame::plain(ReadSerialNo).bytes() + "N";
    QVERIFY(sent.startsWith("TS" + identity + CommandFrame::forConverter(26, 0).bytes()));
    QCOMPARE(sent.count(identity), 1);
    const QJsonObject unit = seen["unit"].toObject();
    QCOMPARE(unit["type"].toString(), w.rig.model.state().unitType);
    QCOMPARE(unit["serial"].toInt(), w.rig.model.state().serialNo);
    const QJsonArray converters = seen["converters"].toArray();
    QCOMPARE(converters.size(), ConverterCount);
    QCOMPARE(converters[4].toObject()["in"].toInt(), 0);
    QCOMPARE(converters[0].toObject()["in"].toInt(), 1);
    // Silent since its last answer (2 s), not since the monitor noticed (7 s).
    if (fault == "silent") QCOMPARE(seen["since"].toString(), w.state.timeOfDay(2.0));
}

void TstWebMonitor::access_data() {
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("status");
    // TOKEN: the server's.
    QTest::newRow("no token") << QByteArray("GET /") << 403;
    QTest::newRow("another token")
        << QByteArray("GET /?token=0123456789abcdef0123456789abcdef") << 403;
    QTest::newRow("the token and more") << QByteArray("GET /?token=TOKEN0") << 403;
    QTest::newRow("the stream, no token") << QByteArray("GET /events") << 403;
    QTest::newRow("a POST") << QByteArray("POST /?token=TOKEN") << 405;
    QTest::newRow("a PUT to the stream") << QByteArray("PUT /events?token=TOKEN") << 405;
    QTest::newRow("anything else") << QByteArray("GET /set?token=TOKEN&converter=1") << 404;
    QTest::newRow("the page") << QByteArray("GET /?token=TOKEN") << 200;
    QTest::newRow("the stream") << QByteArray("GET /events?token=TOKEN") << 200;
}

void TstWebMonitor::access() {
    QFETCH(QByteArray, request);
    QFETCH(int, status);
    SteadyClock clock;
    LiveState state(clock);
    LiveServer server(state, web::newToken());
    QString why;
    QVERIFY2(server.start(QHostAddress::LocalHost, 0, &why), qPrintable(why));
    Client c(server.port(), request.replace("TOKEN", server.token()));
    QVERIFY(c.waitForReply());
    QCOMPARE(c.status, status);
    if (status == 200 && request.startsWith("GET /?")) {
        QVERIFY(QTest::qWaitFor([&] { return c.body.endsWith("</html>\n"); }, 5000));
        // Nothing from anywhere else: no address in the page, a policy that allows none.
        QVERIFY(c.body.startsWith("<!DOCTYPE html>") && c.body.contains("<script>"));
        QVERIFY(!c.body.contains("http") && !c.body.contains("src=") && !c.body.contains("url("));
        QVERIFY(c.body.count("href=") == 1 && c.body.contains("href=\"data:,\""));
        QVERIFY(c.head.contains("Content-Security-Policy: default-src 'none'; script-src 'sha"));
        QVERIFY(!c.head.contains("http") && !c.head.contains("*"));
    }
    if (status == 200 && request.startsWith("GET /events")) {
        QVERIFY(QTest::qWaitFor([&] { return !c.states.isEmpty(); }, 5000));
        QCOMPARE(c.last()["state"].toString(), QStringLiteral("idle"));
    }
}

void TstWebMonitor::atMostEightViewers() {
    SteadyClock clock;
    LiveState state(clock);
    LiveServer server(state, web::newToken());
    QString why;
    QVERIFY(server.start(QHostAddress::LocalHost, 0, &why));
    const QByteArray stream = "GET /events?token=" + server.token();
    std::vector<std::unique_ptr<Client>> viewers;
    for (int k = 0; k < 9; ++k) {
        viewers.push_back(std::make_unique<Client>(server.port(), stream));
        QVERIFY(viewers.back()->waitForReply());
        QCOMPARE(viewers.back()->status, k < 8 ? 200 : 503);
    }
    QCOMPARE(server.viewers(), 8);
    // One leaves: another may come.
    viewers[0].reset();
    QVERIFY(QTest::qWaitFor([&] { return server.viewers() == 7; }, 5000));
    Client again(server.port(), stream);
    QVERIFY(again.waitForReply());
    QCOMPARE(again.status, 200);

    // A run that ends at once, within the 50 ms a viewer waits between two states: each is
    // told that it stopped, then its stream ends.
    state.started({});
    state.finished({MonitorEnd::PortLost});
    server.finish();
    for (int k = 1; k < 8; ++k) {
        Client& v = *viewers[k];
        QVERIFY(QTest::qWaitFor(
            [&] { return v.socket.state() == QAbstractSocket::UnconnectedState; }, 5000));
        QCOMPARE(v.last()["state"].toString(), QStringLiteral("portlost"));
    }
}

// A paced unit whose locks move every 20 ms, all twelve converters read; one viewer stops
// reading, seven go on. The stalled one is dropped, the others keep up with the monitor, and
// the monitor never waits for it: no gap between two rounds comes near the 2 s a viewer may
// stall (a round is 79 ms of wire; more under load, but not seconds).
void TstWebMonitor::stalledViewerIsDropped() {
    sim::SimProcess sim(QStringLiteral(MERIDAN_SIM));
    const QString tty = sim.start({"--paced", "--lock-changes", "0.02"});
    QVERIFY(!tty.isEmpty());
    RealLink real;
    real.port.setDevicePath(tty);
    QVERIFY(real.port.open());
    LiveState state(real.clock);
    LiveServer server(state, web::newToken(), {.stallSeconds = 2.0});
    QString why;
    QVERIFY(server.start(QHostAddress::LocalHost, 0, &why));
    StalledViewer stalled(server.port(), server.token());
    std::vector<std::unique_ptr<Client>> viewers;
    for (int k = 0; k < 7; ++k)
        viewers.push_back(
            std::make_unique<Client>(server.port(), "GET /events?token=" + server.token()));
    QVERIFY(QTest::qWaitFor([&] { return server.viewers() == 8; }, 5000));
    double droppedAt = -1;
    QObject::connect(&server, &LiveServer::viewersChanged, &server, [&](int n) {
        if (n == 7 && droppedAt < 0) droppedAt = real.clock.now();
    });

    struct Rounds final : MonitorObserver {
        QList<double> at;
        int behind = 0;  // the round the slowest viewer had seen at round 70
        std::vector<std::unique_ptr<Client>>* viewers = nullptr;
        void round(const MonitorRound& r) override {
            at.append(r.time);
            if (r.number != 70) return;
            behind = 70;
            for (const auto& v : *viewers)
                behind = std::min(behind, v->last()["round"].toInt());
        }
    } rounds;
    rounds.viewers = &viewers;
    LockMonitor monitor(real.link, rounds);
    monitor.setWatcher(&state);
    const MonitorOutcome out = monitor.run({}, 80);
    QCOMPARE(out.end, MonitorEnd::Done);

    QVERIFY2(droppedAt > rounds.at.first() && droppedAt < rounds.at.last(),
             qPrintable(QString::number(droppedAt)));
    double gap = 0;
    for (qsizetype k = 1; k < rounds.at.size(); ++k)
        gap = std::max(gap, rounds.at[k] - rounds.at[k - 1]);
    QVERIFY2(gap < 1.0, qPrintable(QString::number(gap)));
    QVERIFY2(rounds.behind >= 60, qPrintable(QString::number(rounds.behind)));
}

// meridan-cli monitor --serve: the page and its stream while the monitor runs, whatever a
// client asks; on the wire nothing but the connection request, the identity, lock reads and
// the end command. (What the phone is told when it ends is the phone page's test.)
void TstWebMonitor::cliServesOnlyWhileTheMonitorRuns() {
    sim::SimProcess sim(QStringLiteral(MERIDAN_SIM));
    const QString tty = sim.start({"--paced", "--verbose", "--lock-changes", "0.25"});
    QVERIFY(!tty.isEmpty());
    QTemporaryDir home;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", home.path());
    env.insert("XDG_RUNTIME_DIR", home.path());
    // An address that cannot be had stops the monitor before the unit's port is opened.
    QTcpServer taken;
    QVERIFY(taken.listen(QHostAddress::LocalHost, 0));
    QProcess refused;
    refused.setProcessEnvironment(env);
    refused.start(
        QStringLiteral(MERIDAN_CLI),
        {"--port", tty, "monitor", "--serve", "127.0.0.1:" + QString::number(taken.serverPort())});
    QVERIFY(refused.waitForFinished(10000));
    QCOMPARE(refused.exitCode(), 2);
    QVERIFY(refused.readAllStandardError().contains("nothing was sent"));

    QProcess cli;
    cli.setProcessEnvironment(env);
    cli.start(QStringLiteral(MERIDAN_CLI),
              {"--port", tty, "monitor", "--converter", "3", "--serve", "127.0.0.1:0"});
    QString err;
    const QRegularExpression urlPattern("http://127\\.0\\.0\\.1:(\\d+)/\\?token=([0-9a-f]{32})");
    QRegularExpressionMatch url;
    const auto served = [&] {
        return (url = urlPattern.match(err += cli.readAllStandardError())).hasMatch();
    };
    QVERIFY(QTest::qWaitFor(served, 10000));
    const auto port = quint16(url.captured(1).toUInt());
    const QByteArray token = url.captured(2).toLatin1();

    Client viewer(port, "GET /events?token=" + token);
    QVERIFY(QTest::qWaitFor([&] { return viewer.last()["state"].toString() == "running"; }, 10000));
    for (const QByteArray& t :
         {"POST /?token=" + token, "GET /set?token=" + token + "&converter=3&input=1200"}) {
        Client c(port, t);
        QVERIFY(c.waitForReply());
    }
    cli.terminate();
    QVERIFY(cli.waitForFinished(10000));

    sim.process().terminate();
    QVERIFY(sim.process().waitForFinished(5000));
    QSet<int> codes;
    QByteArray last;
    for (const QByteArray& line : sim.process().readAllStandardError().split('\n')) {
        if (!line.startsWith("frame ")) continue;
        codes.insert(QByteArray::fromHex(line.mid(6, 2)).at(0));
        last = line;
    }
    QCOMPARE(codes, (QSet<int>{ReadUnitType, ReadSerialNo, ReadInputLock, ComEnd}));
    QVERIFY(last.startsWith("frame 28"));
}

void TstWebMonitor::addressesAndTokens() {
    // 127.0.0.1 unless an address is given; a name is not an address.
    const QList<QPair<QString, QString>> rows{{"8642", "127.0.0.1:8642"},
                                              {"[::1]:8080", "::1:8080"},
                                              {"cabinet.example:80", ""},
                                              {"70000", ""}};
    for (const auto& [text, expected] : rows) {
        QHostAddress a;
        quint16 port = 1;
        QString why;
        const bool ok = web::parseServeAddress(text, &a, &port, &why);
        QCOMPARE(ok ? a.toString() + ":" + QString::number(port) : QString(), expected);
    }
    // 128 random bits; the session keeps its token in a file nobody else can read, and does
    // not trust one that others can.
    QVERIFY(web::newToken() != web::newToken());
    QVERIFY(QRegularExpression("^[0-9a-f]{32}$").match(web::newToken()).hasMatch());
    QTemporaryDir runtime;
    qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
    QFile::setPermissions(runtime.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const QByteArray kept = web::sessionToken();
    QCOMPARE(web::sessionToken(), kept);
    QFile file(runtime.filePath("meridan-phone-token"));
    const auto others = QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther;
    QVERIFY(file.exists() && (file.permissions() & others) == 0);
    file.setPermissions(file.permissions() | QFile::ReadOther);
    QVERIFY(web::sessionToken() != kept);
}

// The address as a picture (the window's) and as the terminal's half blocks, each read back
// by a QR reader.
void TstWebMonitor::qrCodesReadBack() {
    const QByteArray url = "http://192.168.1.23:8642/?token=" + web::newToken();
    const auto code = web::encodeQr(url);
    QVERIFY(code);
    // The terminal's text, one line for two rows: back to modules.
    const QStringList lines = web::qrTerminalText(*code)
                                  .remove(QRegularExpression("\x1b\\[[0-9;]*m"))
                                  .split('\n', Qt::SkipEmptyParts);
    const int side = code->size + 8;
    QCOMPARE(lines.size(), (side + 1) / 2);
    QImage text(side, side, QImage::Format_RGB32);
    text.fill(Qt::white);
    for (int row = 0; row < lines.size(); ++row) {
        QCOMPARE(lines[row].size(), side);
        for (int x = 0; x < side; ++x) {
            const QChar c = lines[row][x];
            if (c == QChar(0x2588) || c == QChar(0x2580)) text.setPixel(x, 2 * row, 0);
            if ((c == QChar(0x2588) || c == QChar(0x2584)) && 2 * row + 1 < side)
                text.setPixel(x, 2 * row + 1, 0);
        }
    }
    const QString zbar = QStandardPaths::findExecutable("zbarimg");
    if (zbar.isEmpty()) QSKIP("zbarimg (zbar-tools) is not installed");
    QTemporaryDir dir;
    for (const QImage& image : {web::qrImage(*code, 6), text.scaled(side * 6, side * 6)}) {
        const QString png = dir.filePath("code.png");
        QVERIFY(image.save(png));
        QProcess reader;
        reader.start(zbar, {"--raw", "-q", png});
        QVERIFY(reader.waitForFinished(20000));
        QCOMPARE(reader.readAllStandardOutput().trimmed(), url);
    }
}

QTEST_GUILESS_MAIN(TstWebMonitor)
#include "tst_webmonitor.moc"
