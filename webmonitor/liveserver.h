#pragma once

#include <QAbstractHttpServer>
#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QPointer>
#include <QTimer>

#include "livestate.h"

class QTcpServer;
class QTcpSocket;

namespace meridan::web {

// A new access token: 128 random bits from the system's generator, as 32 hex digits.
QByteArray newToken();
// The token of this login session: kept in the user's runtime folder, so a phone keeps its
// address when the monitor runs again (a new one when there is none, or it cannot be kept).
QByteArray sessionToken();

// "[ADDR:]PORT" as --serve takes it: 127.0.0.1 unless an address is given; an IPv6 address
// in brackets. False, with the reason, when it is not one.
bool parseServeAddress(const QString& text, QHostAddress* address, quint16* port, QString* why);

// The addresses a phone can use to reach a server bound to `address`: itself, or, for the
// wildcard, every address of this machine's interfaces that are up (loopback last).
QList<QHostAddress> reachableAddresses(const QHostAddress& address);
QString pageUrl(const QHostAddress& host, quint16 port, const QByteArray& token);

// Serves the live lock states to phones, read-only: one page and its event stream, nothing
// else. Every request must carry the access token (403 without it); only GET is answered.
// At most `viewers` event streams at once (the next is refused with 503). A viewer that does
// not take what it is sent is never waited for: it gets only the newest state once it has
// taken the last, and is dropped when it has taken nothing for `stallSeconds`.
class LiveServer final : public QAbstractHttpServer {
    Q_OBJECT
  public:
    struct Limits {
        int viewers = 8;
        int connections = 32;        // open sockets, viewers or not
        double stallSeconds = 10;    // a viewer that takes nothing for this long is dropped
        double idleSeconds = 20;     // a socket that is not a viewer is closed after this
        int sendBufferBytes = 8192;  // the kernel's share of what a viewer is sent
        int throttleMs = 50;         // at most one state a viewer this often...
        int heartbeatMs = 1000;      // ...and at least one this often
        qint64 requestBytes = 16384;
    };

    LiveServer(LiveState& state, QByteArray token, QObject* parent = nullptr);
    LiveServer(LiveState& state, QByteArray token, const Limits& limits, QObject* parent = nullptr);
    ~LiveServer() override;

    // Starts listening; false with the reason when the address cannot be had.
    bool start(const QHostAddress& address, quint16 port, QString* why);
    quint16 port() const;
    QHostAddress address() const;
    const QByteArray& token() const { return token_; }
    int viewers() const { return int(viewers_.size()); }
    // Sends every viewer the state as it is now, stops listening, and closes every
    // connection once what it was sent has left or `flushMs` have passed (then closed()).
    // The server does not start again.
    void finish(int flushMs = 1000);
    bool finished() const { return finished_; }

    // The page as served, and the policy it is served under.
    static const QByteArray& page();
    static QByteArray contentSecurityPolicy();

  Q_SIGNALS:
    void viewersChanged(int count);
    // After finish(): every connection is closed.
    void closed();

  protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

  private:
    struct Viewer {
        QPointer<QTcpSocket> socket;
        QElapsedTimer blocked;  // since it began to hold back what it was sent
        bool waiting = false;   // a newer state is due once it has taken the last
        bool isBlocked = false;
    };
    class Listener;

    void accepted(QTcpSocket* socket);
    void reply(QTcpSocket* socket, int status, const QByteArray& type, const QByteArray& body,
               const QList<QPair<QByteArray, QByteArray>>& extra = {});
    void startStream(QTcpSocket* socket);
    void changed();
    void broadcast();
    void send(Viewer& viewer, const QByteArray& event);
    void drained(QTcpSocket* socket);
    void drop(QTcpSocket* socket);
    Viewer* viewerOf(QTcpSocket* socket);

    LiveState& state_;
    QByteArray token_;
    Limits limits_;
    Listener* listener_ = nullptr;
    QList<Viewer> viewers_;
    QList<QPointer<QTcpSocket>> sockets_;
    QTimer throttle_;
    QTimer heartbeat_;
    QElapsedTimer lastBroadcast_;
    bool finished_ = false;
};

}  // namespace meridan::web
