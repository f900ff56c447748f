#include "tcpport.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QMetaObject>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>
#include <chrono>
#include <cmath>

#include "portmap.h"

namespace meridan {

namespace {
const QString TcpScheme = QStringLiteral("tcp");
const QString Rfc2217Scheme = QStringLiteral("rfc2217");
}  // namespace

bool isNetworkAddress(const QString& path) {
    const QString p = path.trimmed();
    return p.startsWith(TcpScheme + QStringLiteral("://"), Qt::CaseInsensitive) ||
           p.startsWith(Rfc2217Scheme + QStringLiteral("://"), Qt::CaseInsensitive);
}

std::optional<NetworkAddress> parseNetworkAddress(const QString& path, QString* error) {
    const QUrl url(path.trimmed(), QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    const bool pathOk = url.path().isEmpty() || url.path() == QLatin1String("/");
    if (!url.isValid() || (scheme != TcpScheme && scheme != Rfc2217Scheme) || !pathOk ||
        url.host().isEmpty() || !url.userInfo().isEmpty() || url.hasQuery() || url.hasFragment()) {
        if (error) {
            *error = QStringLiteral(
                "not a network address of the form tcp://HOST:PORT or rfc2217://HOST:PORT");
        }
        return std::nullopt;
    }
    if (url.port() < 1) {
        if (error) *error = QStringLiteral("the address names no TCP port (HOST:PORT)");
        return std::nullopt;
    }
    return NetworkAddress{url.host(), static_cast<quint16>(url.port()), scheme == Rfc2217Scheme};
}

TcpPort::TcpPort(QObject* parent) : Port(parent) {}

TcpPort::~TcpPort() {
    // The socket must not report to a port that is half gone.
    if (socket_) {
        socket_->disconnect(this);
        delete socket_;
    }
}

QString TcpPort::deviceName() const {
    return printablePath(address_);
}

bool TcpPort::fail(const QString& why) {
    error_ = why;
    return false;
}

bool TcpPort::open() {
    error_.clear();
    failure_ = OpenFailure::Other;
    if (socket_ || dropped_) return fail(QStringLiteral("already open"));
    if (hasControlCharacter(address_)) {
        failure_ = OpenFailure::BadDevicePath;
        return fail(QStringLiteral("the address holds a control character"));
    }
    QString why;
    if (!parseNetworkAddress(address_, &why)) {
        failure_ = OpenFailure::BadDevicePath;
        return fail(why);
    }
    lost_ = false;
    rx_.clear();
    return connectToServer();
}

bool TcpPort::connectToServer() {
    const std::optional<NetworkAddress> address = parseNetworkAddress(address_, nullptr);
    telnet_.reset();
    opening_ = true;
    cancelled_ = false;
    sinceConnect_.clear();
    sinceWrite_ = 0;
    QElapsedTimer elapsed;
    elapsed.start();
    bool ok = address && connectWithin(*address, openTimeout_);
    if (ok && address->rfc2217) {
        ok = negotiateWithin(openTimeout_ - double(elapsed.nsecsElapsed()) / 1e9);
    }
    opening_ = false;
    if (!ok) {
        dropSocket();
        return false;
    }
    failure_ = OpenFailure::None;
    // Whatever came with the answers to the settings is the line's.
    if (!rx_.isEmpty()) {
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (!rx_.isEmpty()) Q_EMIT received();
            },
            Qt::QueuedConnection);
    }
    return true;
}

namespace {
// Waits in a local event loop until `loop` is told to quit or `seconds` have passed. User
// input waits meanwhile, so nothing the user clicks runs inside the open.
bool waitIn(QEventLoop& loop, double seconds) {
    QTimer timer;
    timer.setSingleShot(true);
    // A coarse timer may fire 5 % early: "within 5 s" would end at 4.8 s.
    timer.setTimerType(Qt::PreciseTimer);
    bool expired = false;
    QObject::connect(&timer, &QTimer::timeout, &loop, [&] {
        expired = true;
        loop.quit();
    });
    const double ms = std::ceil(std::max(seconds, 0.0) * 1000.0);
    timer.start(std::chrono::milliseconds(static_cast<long long>(ms)));
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    return !expired;
}

QString seconds(double s) {
    return QString::number(s, 'g', 3);
}
}  // namespace

bool TcpPort::connectWithin(const NetworkAddress& address, double limit) {
    socket_ = new QTcpSocket(this);
    connect(socket_, &QTcpSocket::readyRead, this, &TcpPort::onReadyRead);
    connect(socket_, &QTcpSocket::bytesWritten, this, &Port::bytesWritten);
    connect(socket_, &QTcpSocket::disconnected, this, &TcpPort::onDropped);
    connect(socket_, &QTcpSocket::errorOccurred, this, &TcpPort::onDropped);
    QEventLoop loop;
    connect(socket_, &QTcpSocket::connected, &loop, &QEventLoop::quit);
    // What the socket holds unread is bounded too: a server that floods the port is cut off
    // by onReadyRead, not by memory.
    socket_->setReadBufferSize(64 * 1024);
    socket_->connectToHost(address.host, address.port);
    bool inTime = true;
    if (socket_ && socket_->state() != QAbstractSocket::UnconnectedState &&
        socket_->state() != QAbstractSocket::ConnectedState) {
        waiting_ = &loop;
        inTime = waitIn(loop, limit);
        waiting_ = nullptr;
    }
    if (!socket_) return fail(QStringLiteral("the port was closed while connecting"));
    if (cancelled_) return fail(QStringLiteral("interrupted while connecting"));
    if (socket_->state() == QAbstractSocket::ConnectedState) {
        // Requests and answers are a few bytes each: send them at once.
        socket_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        return true;
    }
    if (!inTime) return fail(QStringLiteral("no connection within %1 s").arg(seconds(limit)));
    return fail(socket_->errorString());
}

bool TcpPort::negotiateWithin(double limit) {
    telnet_.emplace();
    socket_->write(telnet_->opening());
    if (telnet_->status() == Rfc2217Client::Status::Negotiating && !cancelled_) {
        QEventLoop loop;
        waiting_ = &loop;
        waitIn(loop, limit);
        waiting_ = nullptr;
    }
    if (!socket_) return fail(QStringLiteral("the port was closed while connecting"));
    if (cancelled_) return fail(QStringLiteral("interrupted while the line was being set"));
    switch (telnet_->status()) {
        case Rfc2217Client::Status::Ready:
            return true;
        case Rfc2217Client::Status::Refused:
            return fail(telnet_->refusal());
        case Rfc2217Client::Status::Negotiating:
            break;
    }
    if (socket_->state() != QAbstractSocket::ConnectedState) {
        if (const QString text = refusalText(); !text.isEmpty()) return fail(text);
        return fail(QStringLiteral("the server closed the connection before it set the line"));
    }
    // The time the whole open may take, not what was left of it after the connection.
    return fail(QStringLiteral("the server did not confirm the line settings within %1 s "
                               "(no answer about: %2)")
                    .arg(seconds(openTimeout_), telnet_->unconfirmed()));
}

void TcpPort::cancelOpen() {
    if (!opening_) return;
    cancelled_ = true;
    if (waiting_) waiting_->quit();
}

void TcpPort::onReadyRead() {
    if (!socket_ || dropped_) return;
    const QByteArray wire = socket_->readAll();
    QByteArray data = wire;
    if (telnet_) {
        QByteArray answer;
        data = telnet_->decode(wire, &answer);
        if (!answer.isEmpty()) socket_->write(answer);
        if (waiting_ && telnet_->status() != Rfc2217Client::Status::Negotiating) waiting_->quit();
    }
    if (sinceConnect_.size() < RefusalBytes) sinceConnect_ += data.left(RefusalBytes);
    // A unit answers a request with a few bytes; a server that sends more without a request
    // is not passing on a unit's line, and a socket, unlike a serial line, has no rate that
    // would bound it.
    sinceWrite_ += data.size();
    if (sinceWrite_ > receiveBufferSize() && !opening_) {
        error_ = QStringLiteral("the server sent %1 bytes without a request").arg(sinceWrite_);
        rx_.clear();
        dropLater();
        Q_EMIT eventOccurred(PortEvent::Flood);
        return;
    }
    rx_.append(data);
    if (!rx_.isEmpty() && !opening_) Q_EMIT received();
}

QString TcpPort::refusalText() const {
    // "Port already in use": a line of text, and nothing a unit sends (a unit's answers hold
    // a byte that is not text, or are words without blanks).
    const QByteArray text = sinceConnect_.trimmed();
    if (text.isEmpty() || !text.contains(' ') || sinceConnect_.size() >= RefusalBytes) return {};
    for (const char c : sinceConnect_) {
        if ((c < 0x20 || c > 0x7e) && c != '\r' && c != '\n' && c != '\t') return {};
    }
    return QStringLiteral("the device server refused the connection: \"%1\"")
        .arg(QString::fromLatin1(text.simplified()));
}

void TcpPort::onDropped() {
    if (!socket_) return;
    if (opening_) {
        if (waiting_) waiting_->quit();
        return;
    }
    if (lost_ || dropped_) return;
    // A server may end a connection that nobody uses (ser2net's timeout): the port connects
    // again at the next exchange.
    if (!exchangeRunning_) return dropLater();
    // A server that takes the connection and closes it with a line of text has refused it
    // (ser2net answers a second client "Port already in use").
    if (const QString text = refusalText(); !text.isEmpty()) {
        error_ = text;
        dropLater();
        Q_EMIT eventOccurred(PortEvent::OpenFailed);
        return;
    }
    lost_ = true;
    error_ = socket_->error() == QAbstractSocket::RemoteHostClosedError
                 ? QStringLiteral("the server closed the connection")
                 : socket_->errorString();
    // The socket is dropped on the next pass of the event loop, not from inside its own
    // notification. isOpen() already answers false.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (lost_) dropSocket();
        },
        Qt::QueuedConnection);
    Q_EMIT eventOccurred(PortEvent::Lost);
}

void TcpPort::dropLater() {
    // Not from inside the socket's own notification: on the next pass of the event loop.
    dropped_ = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (dropped_) dropSocket();
        },
        Qt::QueuedConnection);
}

void TcpPort::dropSocket() {
    if (!socket_) return;
    QTcpSocket* s = socket_;
    socket_ = nullptr;
    s->disconnect(this);
    s->abort();
    s->deleteLater();
}

void TcpPort::close() {
    dropSocket();
    lost_ = false;
    dropped_ = false;
    telnet_.reset();
    rx_.clear();
    if (waiting_) waiting_->quit();
}

bool TcpPort::isOpen() const {
    if (dropped_) return !lost_;
    return socket_ && !opening_ && !lost_ && socket_->state() == QAbstractSocket::ConnectedState;
}

qint64 TcpPort::write(const QByteArray& data) {
    if (dropped_ && !lost_) {
        // The server ended the connection since the last exchange: a new one first.
        dropSocket();
        dropped_ = false;
        rx_.clear();
        if (!connectToServer()) {
            dropped_ = true;
            Q_EMIT eventOccurred(PortEvent::OpenFailed);
            return -1;
        }
    }
    QTcpSocket* s = socket_.data();
    if (!s || !isOpen()) return -1;
    sinceWrite_ = 0;
    const QByteArray wire = telnet_ ? telnet_->encode(data) : data;
    return s->write(wire) == wire.size() ? data.size() : -1;
}

qint64 TcpPort::bytesToWrite() const {
    const QTcpSocket* s = socket_.data();
    return s && isOpen() && !dropped_ ? s->bytesToWrite() : 0;
}

QByteArray TcpPort::readAll() {
    QByteArray bytes;
    bytes.swap(rx_);
    return bytes;
}

}  // namespace meridan
