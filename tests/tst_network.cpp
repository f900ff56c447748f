// Units behind serial device servers: the Telnet/COM port codec, the TCP and RFC 2217 ports
// against the simulated headend's TCP front end, against Debian's ser2net in front of its
// pseudo-terminal, against servers that misbehave, and a tcp:// port in the main window.
// Everything talks to 127.0.0.1 only, in real time, with every wait bounded.
#include <QAction>
#include <QLabel>
#include <QSettings>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

#include "app/mdiform1.h"
#include "link/deviceport.h"
#include "link/rfc2217.h"
#include "overview/form_uebersicht.h"
#include "protocol/firmware.h"
#include "protocol/sequences.h"
#include "sim/ptyserver.h"
#include "sim/tcpserver.h"
#include "support/rig.h"

using namespace meridan;
using namespace meridan::test;

namespace {

// A port nothing listens on: bound, then closed again.
quint16 freePort() {
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    return s.serverPort();
}

QString ser2netProgram() {
    QString exe = QStandardPaths::findExecutable(QStringLiteral("ser2net"));
    if (exe.isEmpty()) {
        exe = QStandardPaths::findExecutable(
            QStringLiteral("ser2net"), {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
    }
    return exe;
}

// Debian's ser2net in front of a pseudo-terminal, raw or with the telnet(rfc2217) accepter.
struct Ser2net {
    QTemporaryDir dir;
    QProcess process;
    quint16 port = 0;

    bool start(const QString& tty, bool telnet) {
        port = freePort();
        const QString config = dir.filePath(QStringLiteral("ser2net.yaml"));
        QFile f(config);
        if (!f.open(QIODevice::WriteOnly)) return false;
        f.write(QStringLiteral("connection: &meridan\n"
                               "  accepter: %1tcp,127.0.0.1,%2\n"
                               "  connector: serialdev,%3,57600n81,local\n")
                    .arg(telnet ? QStringLiteral("telnet(rfc2217),") : QString())
                    .arg(port)
                    .arg(tty)
                    .toUtf8());
        f.close();
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(ser2netProgram(),
                      {QStringLiteral("-n"), QStringLiteral("-d"), QStringLiteral("-c"), config});
        if (!process.waitForStarted(5000)) return false;
        // Ready once it takes a connection: at most 5 s.
        for (int k = 0; k < 50; ++k) {
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, port);
            if (probe.waitForConnected(100)) {
                probe.abort();
                QTest::qWait(100);
                return true;
            }
            QTest::qWait(100);
        }
        return false;
    }
    ~Ser2net() {
        process.terminate();
        if (!process.waitForFinished(3000)) process.kill();
        process.waitForFinished(3000);
    }
};

// The program's port, link and a simulated unit, in real time. The unit is served on a TCP
// port of its own, or on a pseudo-terminal behind ser2net.
struct NetRig {
    sim::HeadendModel model;
    std::unique_ptr<sim::TcpServer> server;
    std::unique_ptr<sim::PtyServer> pty;
    std::unique_ptr<Ser2net> ser2net;
    DevicePort port{PortMap()};
    SteadyClock clock;
    EventLoopPump pump;
    RecordingMessages messages;
    Link link{port, clock, pump, messages};
    QString address;

    // "sim" or "ser2net", raw or Telnet.
    bool start(const QString& front, bool telnet) {
        QString why;
        if (front == QLatin1String("sim")) {
            server = std::make_unique<sim::TcpServer>(model);
            server->setTelnet(telnet);
            if (!server->listen(QHostAddress::LocalHost, 0, &why)) return false;
            address = server->address();
        } else {
            pty = std::make_unique<sim::PtyServer>(model);
            ser2net = std::make_unique<Ser2net>();
            if (!pty->start(&why) || !ser2net->start(pty->slavePath(), telnet)) return false;
            address = QStringLiteral("%1://127.0.0.1:%2")
                          .arg(telnet ? QStringLiteral("rfc2217") : QStringLiteral("tcp"))
                          .arg(ser2net->port);
        }
        port.setDevicePath(address);
        return port.open();
    }
};

class OneImage final : public FirmwareView {
  public:
    explicit OneImage(QString path) : path_(std::move(path)) {}
    QString SelectFirmwareFile(bool) override { return path_; }
    bool lingerOnSuccess() const override { return false; }

  private:
    QString path_;
};

// A server that plays a script: on each connection it sends `script` (one byte every
// `byteMs` when that is above 0) or closes at once; it records what the client sent.
struct ScriptedServer {
    QTcpServer server;
    QByteArray script;
    int byteMs = 0;
    bool closeAtOnce = false;
    QByteArray received;
    QList<QTcpSocket*> clients;
    QTimer dribble;

    explicit ScriptedServer() {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            QTcpSocket* s = server.nextPendingConnection();
            clients << s;
            QObject::connect(s, &QTcpSocket::readyRead, [this, s] { received += s->readAll(); });
            if (closeAtOnce) {
                s->close();
            } else if (byteMs == 0) {
                s->write(script);
            } else {
                QObject::connect(&dribble, &QTimer::timeout, s, [this, s, at = 0]() mutable {
                    if (at < script.size()) s->write(script.mid(at++, 1));
                });
                dribble.start(byteMs);
            }
        });
    }
    QString address(const char* scheme) const {
        return QStringLiteral("%1://127.0.0.1:%2")
            .arg(QLatin1String(scheme))
            .arg(server.serverPort());
    }
};

QByteArray hex(const char* text) {
    return QByteArray::fromHex(text);
}

// What ser2net's telnet accepter sends at connect: WILL SGA, DO SGA, WILL ECHO, DONT ECHO,
// DO BINARY, WILL BINARY, DO COM-PORT-OPTION.
const char* const Ser2netOpening = "fffb03fffd03fffb01fffe01fffd00fffb00fffd2c";
// The confirmation of 57600 baud, 8 data bits, no parity, 1 stop bit, no flow control.
const char* const Confirmed =
    "fffa2c650000e100fff0 fffa2c6608fff0 fffa2c6701fff0 fffa2c6801fff0 fffa2c6901fff0";

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
    void connectionDropsMidRead();
    void endToEnd_data();
    void endToEnd();
    void networkPortInTheMenu();
};

void TstNetwork::codec_data() {
    // The server's bytes, split into reads at '|'; the data and the answer the client takes
    // from them; its state afterwards and a word of the refusal.
    QTest::addColumn<QByteArray>("wire");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("refusal");
    const int negotiating = int(Rfc2217Client::Status::Negotiating);
    const int ready = int(Rfc2217Client::Status::Ready);
    const int refused = int(Rfc2217Client::Status::Refused);
    QTest::newRow("data") << hex("414243") << hex("414243") << QByteArray() << negotiating
                          << QString();
    QTest::newRow("doubled 0xff") << hex("41ffff42ffff") << hex("41ff42ff") << QByteArray()
                                  << negotiating << QString();
    QTest::newRow("0xff split across reads")
        << hex("41ff|ff42") << hex("41ff42") << QByteArray() << negotiating << QString();
    QTest::newRow("NOP, GA and break dropped")
        << hex("41fff142fff9fff343") << hex("414243") << QByteArray() << negotiating << QString();
    // Suppress go-ahead and echo are refused; binary and COM port control were asked for.
    QTest::newRow("ser2net's opening") << hex(Ser2netOpening) << QByteArray()
                                       << hex("fffe03fffc03fffe01") << negotiating << QString();
    QTest::newRow("other options refused")
        << hex("fffb18fffd1f") << QByteArray() << hex("fffe18fffc1f") << negotiating << QString();
    QTest::newRow("all five confirmed")
        << hex(Confirmed) << QByteArray() << QByteArray() << ready << QString();
    QTest::newRow("confirmation split mid-frame")
        << hex("fffa2c650000|e100ff|f0fffa2c6608fff0fffa2c6701fff0fffa2c6801fff0fffa2c69|01fff0")
        << QByteArray() << QByteArray() << ready << QString();
    QTest::newRow("four of five") << hex("fffa2c650000e100fff0fffa2c6608fff0fffa2c6701fff0"
                                         "fffa2c6801fff0")
                                  << QByteArray() << QByteArray() << negotiating << QString();
    QTest::newRow("modem state and DTR answers ignored")
        << hex("fffa2c6b00fff0fffa2c6908fff0") << QByteArray() << QByteArray() << negotiating
        << QString();
    QTest::newRow("9600 baud") << hex("fffa2c6500002580fff0") << QByteArray() << QByteArray()
                               << refused << QStringLiteral("9600 baud, not 57600");
    QTest::newRow("7 data bits") << hex("fffa2c6607fff0") << QByteArray() << QByteArray() << refused
                                 << QStringLiteral("7 data bits");
    QTest::newRow("even parity") << hex("fffa2c6703fff0") << QByteArray() << QByteArray() << refused
                                 << QStringLiteral("parity even");
    QTest::newRow("2 stop bits") << hex("fffa2c6802fff0") << QByteArray() << QByteArray() << refused
                                 << QStringLiteral("2 stop bits");
    QTest::newRow("hardware flow control") << hex("fffa2c6903fff0") << QByteArray() << QByteArray()
                                           << refused << QStringLiteral("hardware flow control");
    QTest::newRow("no COM port control")
        << hex("fffe2c") << QByteArray() << QByteArray() << refused << QStringLiteral("RFC 2217");
    QTest::newRow("binary refused: CR NUL is CR") << hex("fffc00410d|00420d0a") << hex("410d420d0a")
                                                  << QByteArray() << negotiating << QString();
    QTest::newRow("endless subnegotiation dropped")
        << QByteArray("\xff\xfa\x2c\x65", 4) + QByteArray(200, '\x01') + hex("fff041") << hex("41")
        << QByteArray() << negotiating << QString();
}

void TstNetwork::codec() {
    QFETCH(QByteArray, wire);
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, answer);
    QFETCH(int, status);
    QFETCH(QString, refusal);
    Rfc2217Client client;
    QByteArray gotData, gotAnswer;
    for (const QByteArray& chunk : wire.split('|'))
        gotData += client.decode(chunk, &gotAnswer);
    QCOMPARE(gotData.toHex(), data.toHex());
    QCOMPARE(gotAnswer.toHex(), answer.toHex());
    QCOMPARE(int(client.status()), status);
    QVERIFY2(client.refusal().contains(refusal), qPrintable(client.refusal()));
}

void TstNetwork::clientOpening() {
    Rfc2217Client client;
    // WILL BINARY, DO BINARY, WILL COM-PORT-OPTION, then 57600 baud, 8 data bits, parity
    // none, 1 stop bit, no flow control; nothing about DTR or RTS.
    QCOMPARE(client.opening().toHex(),
             hex("fffb00fffd00fffb2c fffa2c010000e100fff0 fffa2c0208fff0 fffa2c0301fff0 "
                 "fffa2c0401fff0 fffa2c0501fff0")
                 .toHex());
    QCOMPARE(client.encode(hex("00ff0dff")).toHex(), hex("00ffff0dffff").toHex());
    QByteArray answer;
    client.decode(hex("fffe00"), &answer);  // the server takes no binary: CR goes as CR NUL
    QCOMPARE(client.encode(hex("0d0aff")).toHex(), hex("0d000affff").toHex());
    QCOMPARE(telnet::subnegotiation(44, hex("01ff")).toHex(), hex("fffa2c01fffffff0").toHex());
}

void TstNetwork::serverFaults_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<int>("byteMs");
    QTest::addColumn<QString>("error");  // empty: opens
    QTest::newRow("refuses the connection")
        << "refused" << QByteArray() << 0 << QStringLiteral("refused");
    QTest::newRow("never accepts")
        << "backlog" << QByteArray() << 0 << QStringLiteral("no connection within 0.5 s");
    QTest::newRow("accepts, never answers") << "telnet" << QByteArray() << 0
                                            << QStringLiteral(
                                                   "did not confirm the line settings within "
                                                   "0.5 s (no answer about: baud rate, data size, "
                                                   "parity, stop bits, flow control)");
    QTest::newRow("closes at once")
        << "close" << QByteArray() << 0 << QStringLiteral("closed the connection");
    QTest::newRow("refuses COM port control")
        << "telnet" << hex("fffb03fffe2c") << 0 << QStringLiteral("does not take COM port");
    QTest::newRow("line at 9600 baud")
        << "telnet" << hex("fffa2c6500002580fff0") << 0 << QStringLiteral("9600 baud, not 57600");
    // ser2net's opening and the confirmations a byte every 10 ms, then "OK".
    QTest::newRow("slow") << "telnet" << hex(Ser2netOpening) + hex(Confirmed) + "OK" << 10
                          << QString();
}

void TstNetwork::serverFaults() {
    QFETCH(QString, kind);
    QFETCH(QByteArray, script);
    QFETCH(int, byteMs);
    QFETCH(QString, error);
    ScriptedServer server;
    server.script = script;
    server.byteMs = byteMs;
    server.closeAtOnce = kind == QLatin1String("close");
    // A raw port is open once connected; a Telnet port once the server has set the line.
    QString address =
        server.address(kind == QLatin1String("telnet") || server.closeAtOnce ? "rfc2217" : "tcp");
    std::vector<std::unique_ptr<QTcpSocket>> fillers;
    if (kind == QLatin1String("refused")) {
        address = QStringLiteral("tcp://127.0.0.1:%1").arg(freePort());
    } else if (kind == QLatin1String("backlog")) {
        // A queue of one connection, full: the next one waits for ever.
        server.server.close();
        server.server.setListenBacklogSize(0);
        QVERIFY(server.server.listen(QHostAddress::LocalHost, 0));
        server.server.pauseAccepting();
        address = server.address("tcp");
        for (int k = 0; k < 3; ++k) {
            fillers.push_back(std::make_unique<QTcpSocket>());
            fillers.back()->connectToHost(QHostAddress::LocalHost, server.server.serverPort());
            fillers.back()->waitForConnected(100);
        }
    }
    DevicePort port{PortMap()};
    port.network().setOpenTimeout(byteMs > 0 ? TcpPort::ConnectTimeout : 0.5);
    port.setDevicePath(address);
    QElapsedTimer t;
    t.start();
    const bool opened = port.open();
    const qint64 ms = t.elapsed();
    QVERIFY2(ms < (byteMs > 0 ? 5000 : 1500), qPrintable(QString::number(ms)));
    if (!error.isEmpty()) {
        QVERIFY(!opened);
        QVERIFY2(port.errorText().contains(error, Qt::CaseInsensitive),
                 qPrintable(port.errorText()));
        QVERIFY(!port.isOpen());
        QVERIFY(port.write("TS") < 0);
        QVERIFY(text::portOpenFailed(port.deviceName(), port.errorText())
                    .startsWith(QStringLiteral("Com Port %1 could not be opened: ").arg(address)));
        return;
    }
    QVERIFY2(opened, qPrintable(port.errorText()));
    QVERIFY(ms > 500);  // it waited for the whole, slow confirmation
    // The offers of echo and suppress go-ahead were refused, nothing was accepted.
    QTRY_VERIFY(server.received.contains(hex("fffe01")));
    QVERIFY(server.received.contains(hex("fffe03")));
    QVERIFY(server.received.contains(hex("fffc03")));
    QVERIFY(!server.received.contains(hex("fffd01")));
    SteadyClock clock;
    EventLoopPump pump;
    RecordingMessages messages;
    Link link(port, clock, pump, messages);
    QVERIFY(link.get_data_(2));
    QCOMPARE(link.ReplyBuffer(), QByteArray("OK"));
}

void TstNetwork::connectionDropsMidRead() {
    // The device server loses the unit at command 10 of the read: one message, the read
    // stops, nothing more is written.
    NetRig rig;
    rig.model.setPaced(true);
    QVERIFY(rig.start(QStringLiteral("sim"), false));
    rig.server->setDropAt(10);
    QSignalSpy lost(&rig.link, &Link::portLost);
    UnitImage unit;
    LockTextTable lockText;
    fillLockText(lockText);
    MemoryUnitView view;
    QElapsedTimer t;
    t.start();
    QCOMPARE(read_unit_data_(rig.link, unit, lockText, view), SequenceResult::Failed);
    QVERIFY(t.elapsed() < 4000);
    QCOMPARE(rig.messages.texts(),
             QStringList{QStringLiteral("ComPortError: ") + text::portLost(rig.address)});
    QCOMPARE(rig.messages.shown[0].title, QStringLiteral("ComPortError"));
    QTest::qWait(200);
    QCOMPARE(lost.count(), 1);
    QCOMPARE(rig.messages.shown.size(), 1);
    QVERIFY(!rig.port.isOpen());
    QVERIFY(!rig.link.write("N"));
    QCOMPARE(rig.model.frames().size(), 10);
}

void TstNetwork::endToEnd_data() {
    QTest::addColumn<QString>("front");
    QTest::addColumn<bool>("telnet");
    QTest::newRow("sim-tcp") << "sim" << false;
    QTest::newRow("sim-rfc2217") << "sim" << true;
    QTest::newRow("ser2net-tcp") << "ser2net" << false;
    QTest::newRow("ser2net-rfc2217") << "ser2net" << true;
}

void TstNetwork::endToEnd() {
    QFETCH(QString, front);
    QFETCH(bool, telnet);
    if (front == QLatin1String("ser2net") && ser2netProgram().isEmpty())
        QSKIP("ser2net is not installed");
    NetRig rig;
    QVERIFY(rig.start(front, telnet));
    if (telnet && rig.server) {
        QTRY_COMPARE(rig.server->lineSettings().text(),
                     QStringLiteral("57600 baud, 8 data bits, parity none, 1 stop bit, no flow "
                                    "control"));
    }
    // Read.
    UnitImage unit;
    LockTextTable lockText;
    fillLockText(lockText);
    MemoryUnitView view;
    QCOMPARE(read_unit_data_(rig.link, unit, lockText, view), SequenceResult::Complete);
    QCOMPARE(unit.SerialNo, rig.model.state().serialNo);
    for (int i = 0; i < ConverterCount; ++i)
        QCOMPARE(unit.InFreq[i], rig.model.state().channels[i].inFreq);
    // Write and store.
    ChannelSettings plan{};
    for (int i = 0; i < ConverterCount; ++i)
        plan[i] = {std::uint8_t(i % 4), 1100 + 7 * i, std::uint8_t(i % 2), 1};
    QVERIFY(writeChannelSettings(rig.link, plan, unit, lockText, view).result ==
            SequenceResult::Complete);
    for (int i = 0; i < ConverterCount; ++i) {
        QCOMPARE(rig.model.stored().channels[i].inFreq, 1100 + 7 * i);
        QCOMPARE(int(rig.model.stored().channels[i].polarisation), i % 4);
    }
    // A sector of 0xff arrives byte for byte.
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("VELNO_S0200.bin"));
    QFile f(image);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(QByteArray(SectorBytes, '\xff'));
    f.close();
    OneImage firmwareView(image);
    rig.port.setTransmitBufferSize(16384);
    FirmwareTransfer transfer(rig.link, firmwareView);
    QCOMPARE(transfer.RunUpdate(), FirmwareTransfer::Outcome::Success);
    QCOMPARE(rig.model.updatesCompleted(), 1);
    QVERIFY(rig.model.firmwareImage() == QByteArray(SectorBytes, '\xff'));
    QVERIFY2(rig.messages.shown.isEmpty(), qPrintable(rig.messages.texts().join('\n')));
    QVERIFY2(rig.model.violations().isEmpty(), qPrintable(rig.model.violations().join('\n')));
}

void TstNetwork::networkPortInTheMenu() {
    // Com5 points at a device server; the other ports at nothing.
    QTemporaryDir dir;
    QSettings settings(dir.filePath(QStringLiteral("Meridan Converter.conf")),
                       QSettings::IniFormat);
    sim::HeadendModel model;
    sim::TcpServer server(model);
    QString why;
    QVERIFY2(server.listen(QHostAddress::LocalHost, 0, &why), qPrintable(why));
    for (int n = 1; n <= 15; ++n) {
        settings.setValue(
            QStringLiteral("Ports/Com%1").arg(n),
            n == 5 ? server.address() : dir.filePath(QStringLiteral("none%1").arg(n)));
    }
    DevicePort port{PortMap(&settings)};
    SteadyClock clock;
    EventLoopPump pump;
    RecordingMessages messages;
    Link link(port, clock, pump, messages);
    link.setApplicationTitle(MDIForm1::Title);
    ProgramData data;
    auto main = std::make_unique<MDIForm1>(link, data, messages, settings, PortMap(&settings));
    main->setProgramFolder(dir.path());
    main->Form_Load();
    main->show();
    // Listed without a connection; the address is the item's tip.
    QVERIFY(main->com[5]->isVisible());
    QVERIFY(!main->com[0]->isVisible());
    QCOMPARE(main->com[5]->toolTip(), server.address());
    QCOMPARE(server.connections(), 0);
    QVERIFY2(messages.shown.isEmpty(), qPrintable(messages.texts().join('\n')));

    main->com[5]->trigger();
    QVERIFY(port.isOpen());
    QVERIFY(main->com[5]->isChecked());
    QTRY_COMPARE(server.connections(), 1);
    main->Program->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(main->overview() &&
                                 main->overview()->Label_Serial_Number->text().trimmed() ==
                                     QString::number(model.state().serialNo) &&
                                 main->overview()->state() == Form_Uebersicht::State::Idle,
                             10000);
    QVERIFY2(messages.shown.isEmpty(), qPrintable(messages.texts().join('\n')));
    messages.answer = MessageResult::Cancel;
    main->close();
    main.reset();
    QCOMPARE(settings.value(QStringLiteral("Settings/COM-Port")).toString(), QStringLiteral("5"));

    // The stored port is opened at start with its one connection; a server that is gone is
    // said by name, and no port is checked.
    main = std::make_unique<MDIForm1>(link, data, messages, settings, PortMap(&settings));
    main->Form_Load();
    QVERIFY(main->com[5]->isChecked());
    QTRY_COMPARE(server.connections(), 2);
    main->close();
    main.reset();
    const QString gone = QStringLiteral("tcp://127.0.0.1:%1").arg(freePort());
    settings.setValue(QStringLiteral("Ports/Com5"), gone);
    main = std::make_unique<MDIForm1>(link, data, messages, settings, PortMap(&settings));
    main->Form_Load();
    QCOMPARE(main->checkedPort(), 0);
    QCOMPARE(messages.shown.size(), 1);
    QVERIFY2(messages.shown[0].text.startsWith(
                 QStringLiteral("Com Port %1 could not be opened: ").arg(gone)),
             qPrintable(messages.shown[0].text));
}

QTEST_MAIN(TstNetwork)
#include "tst_network.moc"
