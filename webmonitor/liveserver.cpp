#include "liveserver.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHttpServerRequest>
#include <QNetworkInterface>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrlQuery>
#include <array>

namespace meridan::web {

namespace {

constexpr int TokenBytes = 16;

bool isToken(const QByteArray& t) {
    static const QRegularExpression hex(QStringLiteral("^[0-9a-f]{32}$"));
    return hex.match(QString::fromLatin1(t)).hasMatch();
}

// Compares in a time that does not tell how much of the token was right.
bool sameToken(const QByteArray& given, const QByteArray& token) {
    if (given.size() != token.size()) return false;
    unsigned char diff = 0;
    for (qsizetype i = 0; i < token.size(); ++i)
        diff |= static_cast<unsigned char>(given[i] ^ token[i]);
    return diff == 0;
}

QByteArray statusText(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        default:
            return "Service Unavailable";
    }
}

// The SHA-256 of what stands between `open` and `close` in the page, as a policy source.
QByteArray inlineHash(const QByteArray& page, const QByteArray& open, const QByteArray& close) {
    const qsizetype from = page.indexOf(open);
    const qsizetype to = page.indexOf(close, from);
    if (from < 0 || to < 0) return "'none'";
    const QByteArray body = page.mid(from + open.size(), to - from - open.size());
    return "'sha256-" + QCryptographicHash::hash(body, QCryptographicHash::Sha256).toBase64() + "'";
}

}  // namespace

QByteArray newToken() {
    std::array<quint32, TokenBytes / 4> words{};
    QRandomGenerator::system()->fillRange(words.data(), words.size());
    return QByteArray(reinterpret_cast<const char*>(words.data()), TokenBytes).toHex();
}

QByteArray sessionToken() {
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty()) return newToken();
    const QString path = QDir(folder).filePath(QStringLiteral("meridan-phone-token"));
    QFile file(path);
    const QFileInfo info(path);
    // Only a file of our own that nobody else can read is trusted.
    if (info.isFile() && !info.isSymLink() && info.ownerId() == QFileInfo(folder).ownerId() &&
        (info.permissions() & (QFile::ReadGroup | QFile::ReadOther)) == 0 &&
        file.open(QIODevice::ReadOnly)) {
        const QByteArray kept = file.read(64).trimmed();
        if (isToken(kept)) return kept;
    }
    const QByteArray token = newToken();
    QSaveFile out(path);
    if (out.open(QIODevice::WriteOnly)) {
        out.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
        out.write(token + '\n');
        out.commit();
    }
    return token;
}

bool parseServeAddress(const QString& text, QHostAddress* address, quint16* port, QString* why) {
    QString host = QStringLiteral("127.0.0.1");
    QString number = text;
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon >= 0) {
        host = text.left(colon);
        number = text.mid(colon + 1);
        if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
            host = host.mid(1, host.size() - 2);
    }
    bool ok = false;
    const uint n = number.toUInt(&ok);
    if (!ok || n > 65535) {
        *why = QStringLiteral("--serve takes [ADDR:]PORT with a port from 0 to 65535, not \"%1\"")
                   .arg(text);
        return false;
    }
    QHostAddress a;
    if (!a.setAddress(host)) {
        *why = QStringLiteral("--serve: \"%1\" is not an IP address of this machine").arg(host);
        return false;
    }
    *address = a;
    *port = quint16(n);
    return true;
}

QList<QHostAddress> reachableAddresses(const QHostAddress& address) {
    if (address != QHostAddress::AnyIPv4 && address != QHostAddress::Any &&
        address != QHostAddress::AnyIPv6) {
        return {address};
    }
    QList<QHostAddress> found, loopback;
    for (const QNetworkInterface& nic : QNetworkInterface::allInterfaces()) {
        if (!(nic.flags() & QNetworkInterface::IsUp)) continue;
        for (const QNetworkAddressEntry& e : nic.addressEntries()) {
            const QHostAddress a = e.ip();
            if (a.protocol() != QAbstractSocket::IPv4Protocol &&
                (address == QHostAddress::AnyIPv4 || a.isLinkLocal())) {
                continue;
            }
            (a.isLoopback() ? loopback : found).append(a);
        }
    }
    return found + loopback;
}

QString pageUrl(const QHostAddress& host, quint16 port, const QByteArray& token) {
    const QString name = host.protocol() == QAbstractSocket::IPv6Protocol
                             ? QStringLiteral("[%1]").arg(host.toString())
                             : host.toString();
    return QStringLiteral("http://%1:%2/?token=%3")
        .arg(name)
        .arg(port)
        .arg(QString::fromLatin1(token));
}

// Takes the connections, as many as the server allows open at once.
class LiveServer::Listener final : public QTcpServer {
  public:
    explicit Listener(LiveServer& server) : QTcpServer(&server), server_(server) {}

  protected:
    void incomingConnection(qintptr handle) override {
        auto* socket = new QTcpSocket(this);
        if (!socket->setSocketDescriptor(handle)) {
            delete socket;
            return;
        }
        server_.sockets_.removeAll(nullptr);
        if (server_.finished_ || server_.sockets_.size() >= server_.limits_.connections) {
            socket->abort();
            socket->deleteLater();
            return;
        }
        server_.accepted(socket);
        addPendingConnection(socket);
    }

  private:
    LiveServer& server_;
};

LiveServer::LiveServer(LiveState& state, QByteArray token, QObject* parent)
    : LiveServer(state, std::move(token), Limits{}, parent) {}

LiveServer::LiveServer(LiveState& state, QByteArray token, const Limits& limits, QObject* parent)
    : QAbstractHttpServer(parent), state_(state), token_(std::move(token)), limits_(limits) {
    throttle_.setSingleShot(true);
    connect(&throttle_, &QTimer::timeout, this, [this] { broadcast(); });
    heartbeat_.setInterval(limits_.heartbeatMs);
    connect(&heartbeat_, &QTimer::timeout, this, [this] { broadcast(); });
    connect(&state_, &LiveState::changed, this, [this] { changed(); });
    lastBroadcast_.start();
}

LiveServer::~LiveServer() = default;

bool LiveServer::start(const QHostAddress& address, quint16 port, QString* why) {
    if (listener_) return true;
    auto* listener = new Listener(*this);
    if (!listener->listen(address, port)) {
        *why = listener->errorString();
        delete listener;
        return false;
    }
    listener_ = listener;
    bind(listener_);
    heartbeat_.start();
    return true;
}

quint16 LiveServer::port() const {
    return listener_ ? listener_->serverPort() : 0;
}

QHostAddress LiveServer::address() const {
    return listener_ ? listener_->serverAddress() : QHostAddress();
}

const QByteArray& LiveServer::page() {
    static const QByteArray html = [] {
        QFile f(QStringLiteral(":/meridan/webmonitor/page.html"));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }();
    return html;
}

QByteArray LiveServer::contentSecurityPolicy() {
    // Nothing from anywhere else: the page's own script and style, its own event stream.
    return "default-src 'none'; script-src " + inlineHash(page(), "<script>", "</script>") +
           "; style-src " + inlineHash(page(), "<style>", "</style>") +
           "; connect-src 'self'; img-src data:; base-uri 'none'; form-action 'none'; "
           "frame-ancestors 'none'";
}

void LiveServer::accepted(QTcpSocket* socket) {
    sockets_.append(socket);
    // A socket that asks nothing, or too much, is not kept.
    auto* idle = new QTimer(socket);
    idle->setSingleShot(true);
    idle->setObjectName(QStringLiteral("idle"));
    connect(idle, &QTimer::timeout, socket, [this, socket] {
        if (!viewerOf(socket)) socket->abort();
    });
    idle->start(int(limits_.idleSeconds * 1000));
    auto received = std::make_shared<qint64>(0);
    connect(socket, &QTcpSocket::readyRead, this, [this, socket, idle, received] {
        *received += socket->bytesAvailable();
        if (*received > limits_.requestBytes && !viewerOf(socket)) {
            socket->abort();
            return;
        }
        idle->start();
    });
    connect(socket, &QTcpSocket::bytesWritten, this, [this, socket] { drained(socket); });
    connect(socket, &QTcpSocket::disconnected, this, [this, socket] { drop(socket); });
}

void LiveServer::reply(QTcpSocket* socket, int status, const QByteArray& type,
                       const QByteArray& body, const QList<QPair<QByteArray, QByteArray>>& extra) {
    QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + ' ' + statusText(status) +
                      "\r\nContent-Type: " + type +
                      "\r\nContent-Length: " + QByteArray::number(body.size()) +
                      "\r\nCache-Control: no-store\r\nX-Content-Type-Options: nosniff"
                      "\r\nReferrer-Policy: no-referrer\r\n";
    for (const auto& [key, value] : extra)
        head += key + ": " + value + "\r\n";
    socket->write(head + "\r\n" + body);
}

bool LiveServer::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) {
    const QByteArray text = "text/plain; charset=utf-8";
    const QByteArray given = request.query().queryItemValue(QStringLiteral("token")).toLatin1();
    if (finished_) {
        reply(socket, 503, text, "The monitor has stopped.\n");
    } else if (!sameToken(given, token_)) {
        reply(socket, 403, text,
              "This address needs its access token: scan the code the monitor shows.\n");
    } else if (request.method() != QHttpServerRequest::Method::Get) {
        reply(socket, 405, text, "Read only.\n", {{"Allow", "GET"}});
    } else if (request.url().path() == QLatin1String("/")) {
        reply(socket, 200, "text/html; charset=utf-8", page(),
              {{"Content-Security-Policy", contentSecurityPolicy()}, {"X-Frame-Options", "DENY"}});
    } else if (request.url().path() == QLatin1String("/events")) {
        if (viewers() >= limits_.viewers) {
            reply(socket, 503, text,
                  QByteArray::number(limits_.viewers) + " phones are watching already.\n");
        } else {
            startStream(socket);
        }
    } else {
        reply(socket, 404, text, "Not found.\n");
    }
    return true;
}

void LiveServer::missingHandler(const QHttpServerRequest&, QTcpSocket* socket) {
    reply(socket, 404, "text/plain; charset=utf-8", "Not found.\n");
}

LiveServer::Viewer* LiveServer::viewerOf(QTcpSocket* socket) {
    for (Viewer& v : viewers_) {
        if (v.socket == socket) return &v;
    }
    return nullptr;
}

void LiveServer::startStream(QTcpSocket* socket) {
    if (viewerOf(socket)) return;
    // What the kernel holds for a viewer stays small, so a stall shows here soon.
    socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, limits_.sendBufferBytes);
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    if (auto* idle = socket->findChild<QTimer*>(QStringLiteral("idle"))) idle->stop();
    socket->write(
        "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-store\r\n"
        "X-Content-Type-Options: nosniff\r\nConnection: close\r\n\r\n");
    viewers_.append(Viewer{socket, {}, false, false});
    send(viewers_.last(), "data: " + state_.json() + "\n\n");
    Q_EMIT viewersChanged(viewers());
}

void LiveServer::changed() {
    if (throttle_.isActive()) return;
    const qint64 since = lastBroadcast_.elapsed();
    if (since >= limits_.throttleMs) {
        broadcast();
    } else {
        throttle_.start(int(limits_.throttleMs - since));
    }
}

void LiveServer::broadcast() {
    lastBroadcast_.start();
    if (viewers_.isEmpty()) return;
    const QByteArray event = "data: " + state_.json() + "\n\n";
    QList<QTcpSocket*> stalled;
    for (Viewer& v : viewers_) {
        if (!v.socket) continue;
        if (v.isBlocked && v.blocked.elapsed() > qint64(limits_.stallSeconds * 1000)) {
            stalled.append(v.socket);
            continue;
        }
        send(v, event);
    }
    for (QTcpSocket* s : stalled)
        s->abort();
}

void LiveServer::send(Viewer& v, const QByteArray& event) {
    QTcpSocket* socket = v.socket.data();
    if (!socket) return;
    // A viewer still holding the last state gets the newest once it has taken it.
    if (socket->bytesToWrite() > 0) {
        v.waiting = true;
        if (!v.isBlocked) {
            v.isBlocked = true;
            v.blocked.start();
        }
        return;
    }
    v.waiting = false;
    v.isBlocked = false;
    socket->write(event);
}

void LiveServer::drained(QTcpSocket* socket) {
    Viewer* v = viewerOf(socket);
    if (!v || socket->bytesToWrite() > 0) return;
    v->isBlocked = false;
    if (v->waiting && !finished_) send(*v, "data: " + state_.json() + "\n\n");
}

void LiveServer::drop(QTcpSocket* socket) {
    sockets_.removeAll(socket);
    sockets_.removeAll(nullptr);
    const qsizetype before = viewers_.size();
    viewers_.removeIf([socket](const Viewer& v) { return !v.socket || v.socket == socket; });
    if (viewers_.size() != before) Q_EMIT viewersChanged(viewers());
    if (finished_ && sockets_.isEmpty()) Q_EMIT closed();
}

void LiveServer::finish(int flushMs) {
    if (finished_) return;
    // The last state goes to every viewer, also one that holds back the one before.
    const QByteArray event = "data: " + state_.json() + "\n\n";
    for (Viewer& v : viewers_) {
        if (v.socket) v.socket->write(event);
    }
    finished_ = true;
    throttle_.stop();
    heartbeat_.stop();
    if (listener_) listener_->close();
    sockets_.removeAll(nullptr);
    if (sockets_.isEmpty()) {
        QTimer::singleShot(0, this, [this] { Q_EMIT closed(); });
        return;
    }
    // Each socket closes once what it was sent has left; what has not left in time is cut.
    // (A socket with nothing left to send closes at once, and leaves the list.)
    const QList<QPointer<QTcpSocket>> open = sockets_;
    for (const QPointer<QTcpSocket>& s : open) {
        if (s) s->disconnectFromHost();
    }
    QTimer::singleShot(flushMs, this, [this] {
        const QList<QPointer<QTcpSocket>> left = sockets_;
        for (const QPointer<QTcpSocket>& s : left) {
            if (s) s->abort();
        }
    });
}

}  // namespace meridan::web
