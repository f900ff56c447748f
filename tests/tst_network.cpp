// Units behind serial device servers: the Telnet/COM port codec, the TCP and RFC 2217 ports
// against the simulated headend's TCP front end, against Debian's ser2net in front of its
// pseudo-terminal, against servers that misbehave, and a tcp:// port in the main window.
// Everything talks to 127.0.0.1 only, in real time, with every wait bounded.
#include <QAction>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QtTest>
#include <memory>

#include "link/deviceport.h"
#include "link/rfc2217.h"
#include "protocol/sequences.h"
#include "sim/ptyserver.h"
#include "sim/tcpserver.h"
#include "support/guirig.h"

using namespace meridan;
using namespace meridan::test;

namespace {

QString ser2netProgram() {
    return QStandardPaths::findExecutable("ser2net", {"/usr/sbin", "/usr/bin", "/sbin"});
}

// Debian's ser2net in front of a pseudo-terminal, raw or with the telnet(rfc2217) accepter,
// set up as the README recommends (no character delay, no Nagle) or with its defaults.
// start() gives its address, or nothing when it did not take a connection within 5 s.
struct Ser2net {
    QTemporaryDir dir;
    QProcess process;
    QString start(const QString& tty, bool telnet, bool recommended = true) {
        const quint16 port = freeTcpPort();
        QFile f(dir.filePath(QStringLiteral("ser2net.yaml")));
        if (!f.open(QIODevice::WriteOnly)) return {};
        f.write(
            QStringLiteral("connection: &meridan\n  accepter: %1%2,127.0.0.1,%3\n"
                           "%4  connector: serialdev,%5,57600n81,local\n")
                .arg(telnet ? QStringLiteral("telnet(rfc2217),") : QString(),
                     recommended ? QStringLiteral("tcp(nodelay)") : QStringLiteral("tcp"))
                .arg(port)
                .arg(recommended ? QStringLiteral("  options:\n    chardelay: false\n") : QString(),
                     tty)
                .toUtf8());
        f.close();
        process.start(ser2netProgram(), {"-n", "-d", "-c", f.fileName()});
        for (int k = 0; k < 50 && process.waitForStarted(5000); ++k) {
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, port);
            const bool ready = probe.waitForConnected(100);
            probe.abort();
            QTest::qWait(100);
            if (ready)
                return QStringLiteral("%1://127.0.0.1:%2")
                    .arg(telnet ? "rfc2217" : "tcp")
                    .arg(port);
        }
        return {};
    }
    ~Ser2net() {
        process.terminate();
        if (!process.waitForFinished(3000)) process.kill();
    }
};

QByteArray hex(const char* text) {
    return QByteArray::fromHex(text);
}

// What ser2net's telnet accepter sends at connect: WILL SGA, DO SGA, WILL ECHO, DONT ECHO,
// DO BINARY, WILL BINARY, DO COM-PORT-OPTION.
const char* const Ser2netOpening = "fffb03fffd03fffb01fffe01fffd00fffb00fffd2c";

}  // namespace

class TstNetwork : public QObject {
    Q_OBJECT
  private Q_SLOTS:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }
    void codec_data();
    void codec();
    void clientOpening();
    void serverFaults_data();
    void serverFaults();
    void endToEnd_data();
    void endToEnd();
    void serverEndsTheConnection_data();
    void serverEndsTheConnection();
    void networkPortInTheMenu();
};

void TstNetwork::codec_data() {
    // The server's bytes, split into reads at '|'; the data and the answer the client takes
    // from them; whether the line is then set (1), still being set (0) or refused (-1, with a
    // word of the refusal); how the client then sends CR LF 0xff.
    QTest::addColumn<QByteArray>("wire");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("refusal");
    QTest::addColumn<QByteArray>("sends");
    auto row = [](const char* name, const QByteArray& wire, const char* data, const char* answer,
                  int state = 0, const char* refusal = "", const char* sends = "0d0affff") {
        QTest::newRow(name) << wire << hex(data) << hex(answer) << state << QString(refusal)
                            << hex(sends);
    };
    row("doubled 0xff, split across reads", hex("41ffff42ff|ff"), "41ff42ff", "");
    row("NOP, GA and break dropped", hex("41fff142fff9fff343"), "414243", "");
    // Suppress go-ahead, echo and unknown options refused; binary and COM port control were
    // asked for by the client.
    row("ser2net's opening, other options", hex(Ser2netOpening) + hex("fffb18fffd1f"), "",
        "fffe03fffc03fffe01fffe18fffc1f");
    row("all five confirmed, split mid-frame",
        hex("fffa2c650000|e100ff|f0fffa2c6608fff0fffa2c6701fff0fffa2c6801fff0fffa2c69|01fff0"), "",
        "", 1);
    row("modem state and DTR answers ignored", hex("fffa2c6b00fff0fffa2c6908fff0"), "", "");
    row("9600 baud", hex("fffa2c6500002580fff0"), "", "", -1, "9600 baud, not 57600");
    row("7 data bits", hex("fffa2c6607fff0"), "", "", -1, "7 data bits, not 8");
    row("odd parity", hex("fffa2c6702fff0"), "", "", -1, "parity odd, not none");
    row("2 stop bits", hex("fffa2c6802fff0"), "", "", -1, "2 stop bits, not 1");
    row("hardware flow control", hex("fffa2c6903fff0"), "", "", -1, "not none");
    // Each setting must be confirmed: any one left unanswered keeps the line unset.
    const char* const answers[] = {"fffa2c650000e100fff0", "fffa2c6608fff0", "fffa2c6701fff0",
                                   "fffa2c6801fff0", "fffa2c6901fff0"};
    for (int left = 0; left < 5; ++left) {
        QByteArray wire;
        for (int k = 0; k < 5; ++k)
            if (k != left) wire += hex(answers[k]);
        row(qPrintable(QStringLiteral("all but setting %1").arg(left + 1)), wire, "", "");
    }
    row("no COM port control", hex("fffe2c"), "", "", -1, "RFC 2217");
    row("sends no binary: CR NUL is CR", hex("fffc00410d|00420d0a"), "410d420d0a", "");
    row("takes no binary: CR goes as CR NUL", hex("fffe00"), "", "", 0, "", "0d000affff");
    row("endless subnegotiation dropped", hex("fffa2c65") + QByteArray(200, '\x01') + hex("fff041"),
        "41", "");
    // A subnegotiation without its SE is ended by the next command, which still counts.
    row("subnegotiation without SE, then WILL", hex("fffa63010203fffb03|41"), "41", "fffe03");
}

void TstNetwork::codec() {
    QFETCH(QByteArray, wire);
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, answer);
    QFETCH(int, state);
    QFETCH(QString, refusal);
    QFETCH(QByteArray, sends);
    Rfc2217Client client;
    QByteArray gotData, gotAnswer;
    for (const QByteArray& chunk : wire.split('|'))
        gotData += client.decode(chunk, &gotAnswer);
    QCOMPARE(gotData.toHex(), data.toHex());
    QCOMPARE(gotAnswer.toHex(), answer.toHex());
    QCOMPARE(client.status(), state > 0    ? Rfc2217Client::Status::Ready
                              : state == 0 ? Rfc2217Client::Status::Negotiating
                                           : Rfc2217Client::Status::Refused);
    QVERIFY2(client.refusal().contains(refusal), qPrintable(client.refusal()));
    QCOMPARE(client.encode(hex("0d0aff")).toHex(), sends.toHex());
}

void TstNetwork::clientOpening() {
    // WILL BINARY, DO BINARY, WILL COM-PORT-OPTION, then 57600 baud, 8 data bits, parity
    // none, 1 stop bit, no flow control; nothing about DTR or RTS.
    QCOMPARE(Rfc2217Client().opening().toHex(),
             hex("fffb00fffd00fffb2c fffa2c010000e100fff0 fffa2c0208fff0 fffa2c0301fff0 "
                 "fffa2c0401fff0 fffa2c0501fff0")
                 .toHex());
}

void TstNetwork::serverFaults_data() {
    // What the server does, the bytes it sends at connect, and the reason the open fails.
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QString>("error");
    QTest::newRow("never accepts") << "backlog" << QByteArray() << "no connection within 0.5 s";
    QTest::newRow("accepts, never answers")
        << "telnet" << QByteArray()
        << "did not confirm the line settings within 0.5 s (no answer about: baud rate, data "
           "size, parity, stop bits, flow control)";
    // The connection itself takes a second (the first try finds the queue full, the next comes
    // a second later): the settings get what is left of the time, not the time again.
    QTest::newRow("slow to connect, never answers")
        << "slow" << QByteArray() << "did not confirm the line settings within 1.5 s";
    QTest::newRow("closes at once") << "close" << QByteArray() << "closed the connection";
    QTest::newRow("line at 9600 baud")
        << "telnet" << hex("fffa2c6500002580fff0") << "9600 baud, not 57600";
    // ser2net's answer to a second client: its opening, a line of text, and the end.
    QTest::newRow("busy") << "busy" << hex(Ser2netOpening) + "Port already in use\r\n"
                          << "the device server refused the connection: \"Port already in use\"";
}

void TstNetwork::serverFaults() {
    QFETCH(QString, kind);
    QFETCH(QByteArray, script);
    QFETCH(QString, error);
    QTcpServer server;
    std::vector<std::unique_ptr<QTcpSocket>> fillers;
    const bool slow = kind == "slow", queued = slow || kind == "backlog";
    if (queued) server.setListenBacklogSize(0);
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    QObject::connect(&server, &QTcpServer::newConnection, [&] {
        QTcpSocket* s = server.nextPendingConnection();
        if (kind == "close") return s->close();
        s->write(script);
        if (kind == "busy") s->disconnectFromHost();
    });
    const quint16 number = server.serverPort();
    if (queued) {
        // The queue of connections is full: the next one waits for ever, or, once the queue is
        // taken after 0.3 s, until its next try a second after the first.
        server.pauseAccepting();
        if (slow) QTimer::singleShot(300, &server, [&server] { server.resumeAccepting(); });
        for (int k = 0; k < (slow ? 1 : 3); ++k) {
            fillers.push_back(std::make_unique<QTcpSocket>());
            fillers.back()->connectToHost(QHostAddress::LocalHost, number);
            fillers.back()->waitForConnected(100);
        }
    }
    // A raw port is open once connected; a Telnet port once the server has set the line.
    DevicePort port{PortMap()};
    const double limit = slow ? 1.5 : 0.5;
    port.network().setOpenTimeout(limit);
    port.setDevicePath(
        QStringLiteral("%1://127.0.0.1:%2").arg(kind == "backlog" ? "tcp" : "rfc2217").arg(number));
    QElapsedTimer t;
    t.start();
    QVERIFY(!port.open() && !port.isOpen());
    // Not a moment before the time the message names.
    const bool timedOut = error.contains("within");
    QVERIFY2(t.elapsed() < (limit + 0.5) * 1000 + (slow ? 0 : 500) &&
                 (!timedOut || t.elapsed() >= limit * 1000),
             qPrintable(QString::number(t.elapsed())));
    QVERIFY2(port.errorText().contains(error, Qt::CaseInsensitive), qPrintable(port.errorText()));
    QVERIFY(port.write("TS") < 0);
}

void TstNetwork::endToEnd_data() {
    QTest::addColumn<bool>("viaSer2net");
    QTest::addColumn<bool>("telnet");
    QTest::addColumn<bool>("recommended");  // ser2net set up as the README says
    QTest::newRow("sim-tcp") << false << false << true;
    QTest::newRow("sim-rfc2217") << false << true << true;
    QTest::newRow("ser2net-tcp") << true << false << true;
    QTest::newRow("ser2net-rfc2217") << true << true << true;
    QTest::newRow("ser2net-defaults") << true << false << false;
}

void TstNetwork::endToEnd() {
    QFETCH(bool, viaSer2net);
    QFETCH(bool, telnet);
    QFETCH(bool, recommended);
    if (viaSer2net && ser2netProgram().isEmpty()) QSKIP("ser2net is not installed");
    // The unit on a TCP port of its own, or on a pseudo-terminal behind ser2net, at the line
    // rate.
    sim::HeadendModel model;
    model.setPaced(true);
    // 0xff bytes in the replies: a Telnet server doubles them, the program takes them single.
    model.state().serialNo = -1;
    model.state().channels[4].inFreq = 0x4ff;
    sim::TcpServer server(model);
    sim::PtyServer pty(model);
    Ser2net ser2net;
    QString why, address;
    server.setTelnet(telnet);
    if (!viaSer2net && server.listen(QHostAddress::LocalHost, 0, &why)) address = server.address();
    if (viaSer2net && pty.start(&why))
        address = ser2net.start(pty.slavePath(), telnet, recommended);
    QVERIFY2(!address.isEmpty(), qPrintable(why));
    RealLink rig(PortMap(), MDIForm1::Title);
    QSignalSpy delay(&rig.link, &Link::deviceServerDelay);
    rig.port.setDevicePath(address);
    QVERIFY2(rig.port.open(), qPrintable(rig.port.errorText()));
    if (telnet && !viaSer2net)
        QTRY_COMPARE(server.lineSettings().text(),
                     "57600 baud, 8 data bits, parity none, 1 stop bit, no flow control");
    UnitImage unit;
    LockTextTable lockText;
    fillLockText(lockText);
    MemoryUnitView view;
    QCOMPARE(read_unit_data_(rig.link, unit, lockText, view), SequenceResult::Complete);
    QCOMPARE(unit.SerialNo, -1);
    QCOMPARE(unit.InFreq[4], 0x4ff);
    // A server left running keeps no history of frames unless asked to.
    QVERIFY(model.frames().isEmpty() && model.framesReceived() == 89);
    QVERIFY2(rig.messages.shown.isEmpty(), qPrintable(rig.messages.texts().join('\n')));
    QVERIFY2(model.violations().isEmpty(), qPrintable(model.violations().join('\n')));
    // ser2net's defaults hold each reply back for milliseconds: said once, with the cure.
    QVERIFY2(delay.size() == (recommended ? 0 : 1),
             delay.isEmpty() ? "" : qPrintable(delay[0][1].toString()));
    if (!recommended)
        QVERIFY(delay[0][1].toDouble() > 0.002 &&
                LinkMessages::deviceServerDelayText(address, delay[0][1].toDouble())
                    .contains("\"chardelay: false\""));
}

void TstNetwork::serverEndsTheConnection_data() {
    // How the server ends the connection; the messages of the exchange that follows.
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("message");  // a pattern
    QTest::newRow("idle time-out: the next exchange connects again") << "idle"
                                                                     << "";
    QTest::newRow("busy: it said so")
        << "busy"
        << "^ComPortError: Com Port tcp://127.0.0.1:\\d+ could not be opened: the device server "
           "refused the connection: \"Port already in use\"$";
    QTest::newRow("flood: a line fault") << "flood"
                                         << "^Connect Error: Connection aborted!$";
}

void TstNetwork::serverEndsTheConnection() {
    QFETCH(QString, kind);
    QFETCH(QString, message);
    sim::HeadendModel model;
    sim::TcpServer unit(model);
    unit.setIdleTimeout(0.7);  // longer than the pauses of a read
    QTcpServer other;          // busy or flooding
    std::unique_ptr<QTcpSocket> flooding;
    qint64 flooded = 0;
    QObject::connect(&other, &QTcpServer::newConnection, [&] {
        QTcpSocket* s = other.nextPendingConnection();
        if (kind == QLatin1String("busy")) {
            s->write("Port already in use\r\n");
            s->disconnectFromHost();
            return;
        }
        // Zeros without end (up to 256 MiB, so a test of a tool that keeps them all ends).
        flooding.reset(s);
        auto more = [&] {
            if (flooded < 256 * 1024 * 1024 && flooding->bytesToWrite() < 1024 * 1024)
                flooded += flooding->write(QByteArray(256 * 1024, '\0'));
        };
        QObject::connect(s, &QTcpSocket::bytesWritten, more);
        more();
    });
    QString why;
    QVERIFY2(unit.listen(QHostAddress::LocalHost, 0, &why), qPrintable(why));
    QVERIFY(other.listen(QHostAddress::LocalHost, 0));
    RealLink rig(PortMap(), MDIForm1::Title);
    rig.port.setDevicePath(kind == QLatin1String("idle")
                               ? unit.address()
                               : QStringLiteral("tcp://127.0.0.1:%1").arg(other.serverPort()));
    QVERIFY(rig.port.open());
    UnitImage image;
    LockTextTable lockText;
    fillLockText(lockText);
    MemoryUnitView view;
    if (kind == QLatin1String("idle")) {
        QCOMPARE(read_unit_data_(rig.link, image, lockText, view), SequenceResult::Complete);
        QSignalSpy gone(&unit, &sim::TcpServer::clientGone);
        QVERIFY(gone.wait(2000));
        QTest::qWait(50);
        QVERIFY(rig.port.isOpen());
    }
    const SequenceResult result = read_unit_data_(rig.link, image, lockText, view);
    QCOMPARE(result, message.isEmpty() ? SequenceResult::Complete : SequenceResult::Failed);
    const QString said = rig.messages.texts().join('\n');
    QVERIFY2(
        message.isEmpty() ? said.isEmpty() : QRegularExpression(message).match(said).hasMatch(),
        qPrintable(said));
    QCOMPARE(unit.connections(), kind == QLatin1String("idle") ? 2 : 0);
    QVERIFY(flooded < 64 * 1024 * 1024);
}

void TstNetwork::networkPortInTheMenu() {
    // Com5 points at a device server, the other ports at nothing.
    sim::HeadendModel model;
    sim::TcpServer server(model);
    QString why;
    QVERIFY2(server.listen(QHostAddress::LocalHost, 0, &why), qPrintable(why));
    QTemporaryDir dir;
    QSettings settings(dir.filePath(QStringLiteral("settings.conf")), QSettings::IniFormat);
    for (int n = 1; n <= 15; ++n)
        settings.setValue(QStringLiteral("Ports/Com%1").arg(n), dir.filePath(QString::number(n)));
    settings.setValue(QStringLiteral("Ports/Com5"), server.address());
    RealLink rig{PortMap(&settings), MDIForm1::Title};
    RecordingMessages& messages = rig.messages;
    ProgramData data;
    auto main = std::make_unique<MDIForm1>(rig.link, data, messages, settings, PortMap(&settings));
    main->setProgramFolder(dir.path());
    main->Form_Load();
    main->show();
    // Listed without a connection.
    QVERIFY(main->com[5]->isVisible() && !main->com[1]->isVisible());
    QCOMPARE(server.connections(), 0);
    main->com[5]->trigger();
    QVERIFY(rig.port.isOpen() && main->com[5]->isChecked());
    QTRY_COMPARE(server.connections(), 1);
    QVERIFY2(messages.shown.isEmpty(), qPrintable(messages.texts().join('\n')));
    messages.answer = MessageResult::Cancel;
    main->close();
}

QTEST_MAIN(TstNetwork)
#include "tst_network.moc"
