#include "tcpserver.h"

#include "timerfd.h"

#include <sys/timerfd.h>
#include <unistd.h>
#include <QSocketNotifier>
#include <QTcpSocket>
#include <QTextStream>
#include <chrono>
#include <cmath>

namespace meridan::sim {

using namespace telnet;

namespace {
// What a device server sends in one packet at most.
constexpr qsizetype PacketBytes = 256;
constexpr std::uint8_t OptionEcho = 1;
constexpr std::uint8_t OptionSuppressGoAhead = 3;
}  // namespace

QString LineSettings::text() const {
    static const char* const parities[] = {"not set", "none", "odd", "even", "mark", "space"};
    static const char* const stops[] = {"not set", "1", "2", "1.5"};
    static const char* const flows[] = {"not set", "no", "XON/XOFF", "hardware"};
    auto name = [](const char* const* names, int count, int v) {
        return v >= 0 && v < count ? QLatin1String(names[v]) : QStringLiteral("code %1").arg(v);
    };
    return QStringLiteral("%1 baud, %2 data bits, parity %3, %4 stop bit, %5 flow control")
        .arg(baud)
        .arg(dataSize)
        .arg(name(parities, 6, parity), name(stops, 4, stopSize), name(flows, 4, flowControl));
}

QByteArray TelnetServerSide::opening() const {
    return negotiation(WILL, OptionSuppressGoAhead) + negotiation(WILL, OptionEcho) +
           negotiation(DO, OptionBinary) + negotiation(WILL, OptionBinary) +
           negotiation(DO, OptionComPort);
}

QByteArray TelnetServerSide::decode(const QByteArray& wire, QByteArray* answer) {
    QByteArray data;
    QList<Command> commands;
    stream_.take(wire, &data, &commands);
    for (const Command& c : commands) {
        const bool ours = c.option == OptionBinary || c.option == OptionComPort;
        if (c.verb == WILL && !ours) {
            answer->append(negotiation(DONT, c.option));
        } else if (c.verb == DO && c.option != OptionBinary && c.option != OptionEcho &&
                   c.option != OptionSuppressGoAhead) {
            answer->append(negotiation(WONT, c.option));
        } else if (c.verb == SB && c.option == OptionComPort && !c.payload.isEmpty()) {
            onComPort(static_cast<std::uint8_t>(c.payload.at(0)), c.payload.mid(1), answer);
        }
    }
    return data;
}

void TelnetServerSide::onComPort(std::uint8_t code, const QByteArray& value, QByteArray* answer) {
    if (value.isEmpty()) return;
    const int v = static_cast<std::uint8_t>(value.at(0));
    QByteArray reply = value;
    switch (code) {
        case SetBaudRate: {
            if (value.size() != 4) return;
            std::uint32_t baud = 0;
            for (const char ch : value)
                baud = (baud << 8) | static_cast<std::uint8_t>(ch);
            if (baud != 0) line_.baud = baud;
            const std::uint32_t now = line_.baud ? line_.baud : 57600;
            reply.clear();
            for (const int shift : {24, 16, 8, 0})
                reply.append(static_cast<char>((now >> shift) & 0xff));
            break;
        }
        case SetDataSize:
            if (v != 0) line_.dataSize = v;
            reply = QByteArray(1, char(line_.dataSize ? line_.dataSize : 8));
            break;
        case SetParity:
            if (v != 0) line_.parity = v;
            reply = QByteArray(1, char(line_.parity ? line_.parity : 1));
            break;
        case SetStopSize:
            if (v != 0) line_.stopSize = v;
            reply = QByteArray(1, char(line_.stopSize ? line_.stopSize : 1));
            break;
        case SetControl:
            if (v >= 1 && v <= 3) line_.flowControl = v;
            if (v == 0) reply = QByteArray(1, char(line_.flowControl ? line_.flowControl : 1));
            break;
        default:
            break;
    }
    answer->append(subnegotiation(OptionComPort, QByteArray(1, char(code + ServerReply)) + reply));
}

TcpServer::TcpServer(HeadendModel& model, QObject* parent) : QObject(parent), model_(model) {
    timer_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (timer_ >= 0) {
        timerNotifier_ = std::make_unique<QSocketNotifier>(timer_, QSocketNotifier::Read);
        connect(timerNotifier_.get(), &QSocketNotifier::activated, this, &TcpServer::onTimer);
    }
    connect(&server_, &QTcpServer::newConnection, this, &TcpServer::onNewConnection);
    idle_.setSingleShot(true);
    connect(&idle_, &QTimer::timeout, this, &TcpServer::dropClient);
}

void TcpServer::setIdleTimeout(double seconds) {
    idleOn_ = seconds > 0;
    idle_.setInterval(std::chrono::milliseconds(qint64(seconds * 1000.0)));
}

TcpServer::~TcpServer() {
    if (client_) client_->disconnect(this);
    timerNotifier_.reset();
    if (timer_ >= 0) ::close(timer_);
}

void TcpServer::onTimer() {
    std::uint64_t expirations = 0;
    [[maybe_unused]] const ssize_t n = ::read(timer_, &expirations, sizeof expirations);
    if (readPaused_ && clock_.now() >= resumeReadingAt(model_)) {
        readPaused_ = false;
        onReadable();
        return;
    }
    flushDue();
}

void TcpServer::setVerbose(bool verbose, const QString& label) {
    verbose_ = verbose;
    label_ = label;
    model_.setFrameObserver(
        verbose
            ? [label](
                  const HeadendModel::FrameRecord&
                      f) { QTextStream(stderr) << label << "frame " << f.frame.toHex(' ') << '\n'; }
            : std::function<void(const HeadendModel::FrameRecord&)>());
}

bool TcpServer::listen(const QHostAddress& host, quint16 port, QString* error) {
    if (server_.listen(host, port)) return true;
    if (error) {
        *error = QStringLiteral("cannot listen on %1:%2: %3")
                     .arg(host.toString())
                     .arg(port)
                     .arg(server_.errorString());
    }
    return false;
}

QString TcpServer::address() const {
    QString host = server_.serverAddress().toString();
    if (server_.serverAddress().protocol() == QAbstractSocket::IPv6Protocol)
        host = QLatin1Char('[') + host + QLatin1Char(']');
    return QStringLiteral("%1://%2:%3")
        .arg(telnetMode_ ? QStringLiteral("rfc2217") : QStringLiteral("tcp"), host)
        .arg(server_.serverPort());
}

void TcpServer::onNewConnection() {
    while (QTcpSocket* s = server_.nextPendingConnection()) {
        // The client before may have gone in the same pass of the event loop: take that in
        // first, so a quick reconnect is not turned away.
        if (QTcpSocket* old = client_.data()) {
            old->waitForReadyRead(0);
            if (client_ && old->state() != QAbstractSocket::ConnectedState) onDisconnected();
        }
        if (client_) {
            // One client at a time, as a device server's port has one line behind it.
            if (verbose_) QTextStream(stderr) << label_ << "second client refused\n";
            s->abort();
            s->deleteLater();
            continue;
        }
        client_ = s;
        ++connections_;
        if (idleOn_) idle_.start();
        framesAtConnect_ = model_.framesReceived();
        s->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        if (model_.paced() && !model_.buffering()) s->setReadBufferSize(ReadAhead);
        connect(s, &QTcpSocket::readyRead, this, &TcpServer::onReadable);
        connect(s, &QTcpSocket::disconnected, this, &TcpServer::onDisconnected);
        // Whatever the unit sent while nobody listened is gone.
        model_.takeOutput(clock_.now());
        outbound_.clear();
        if (telnetMode_) {
            telnet_.emplace();
            line_ = {};
            s->write(telnet_->opening());
        }
        if (verbose_) {
            QTextStream(stderr) << label_ << "client connected from " << s->peerAddress().toString()
                                << ':' << s->peerPort() << '\n';
        }
    }
}

void TcpServer::onDisconnected() {
    if (!client_) return;
    if (verbose_) QTextStream(stderr) << label_ << "client disconnected\n";
    QTcpSocket* s = client_;
    client_ = nullptr;
    idle_.stop();
    s->disconnect(this);
    s->deleteLater();
    telnet_.reset();
    readPaused_ = false;
    Q_EMIT clientGone();
}

void TcpServer::dropClient() {
    if (!client_) return;
    if (verbose_) QTextStream(stderr) << label_ << "dropping the connection\n";
    client_->abort();
    onDisconnected();
}

void TcpServer::onReadable() {
    if (!client_) return;
    for (;;) {
        const qint64 room = inputRoom(model_, clock_.now(), 4096);
        if (room <= 0) {
            readPaused_ = true;
            break;
        }
        const QByteArray wire = client_->read(room);
        if (wire.isEmpty()) break;
        if (idle_.isActive()) idle_.start();
        QByteArray data = wire;
        if (telnet_) {
            QByteArray answer;
            data = telnet_->decode(wire, &answer);
            if (!answer.isEmpty()) client_->write(answer);
            if (!(telnet_->line() == line_)) {
                line_ = telnet_->line();
                if (verbose_) QTextStream(stderr) << label_ << "line " << line_.text() << '\n';
            }
        }
        if (!data.isEmpty()) model_.receive(data, clock_.now());
    }
    flushDue();
}

void TcpServer::flushDue() {
    const double now = clock_.now();
    outbound_.append(model_.takeOutput(now));
    // A device server forwards what the unit sent once the line falls silent for more than a
    // character's time (or a packet is full): a reply reaches the client whole, when its last
    // byte has left the unit, and the client wakes once for it.
    const double next = model_.nextEventTime();
    if (!outbound_.isEmpty() &&
        (next == Never || next - now > 1.5 / LineRate || outbound_.size() >= PacketBytes)) {
        if (client_) client_->write(telnet_ ? telnet_->encode(outbound_) : outbound_);
        if (idle_.isActive()) idle_.start();
        outbound_.clear();
    }
    if (verbose_) report();
    if (client_ && dropAt_ > 0 && model_.framesReceived() - framesAtConnect_ >= dropAt_) {
        dropClient();
    }
    schedule();
}

void TcpServer::report() {
    QTextStream err(stderr);
    happenings_.report(model_, err, label_);
}

void TcpServer::schedule() {
    double next = model_.nextEventTime();
    if (readPaused_) next = std::min(next, resumeReadingAt(model_));
    if (timer_ >= 0) armTimerFd(timer_, next, clock_.now());
}

}  // namespace meridan::sim
