#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTcpServer>
#include <QTimer>
#include <memory>
#include <optional>

#include "headendmodel.h"
#include "link/clock.h"
#include "link/rfc2217.h"
#include "pacing.h"

class QSocketNotifier;
class QTcpSocket;

namespace meridan::sim {

// What a client asked of the line over COM port control; 0 where it asked nothing.
struct LineSettings {
    std::uint32_t baud = 0;
    int dataSize = 0;
    int parity = 0;       // 1 none, 2 odd, 3 even, 4 mark, 5 space
    int stopSize = 0;     // 1 one, 2 two, 3 one and a half
    int flowControl = 0;  // 1 none, 2 XON/XOFF, 3 hardware
    // "57600 baud, 8 data bits, parity none, 1 stop bit, no flow control"
    QString text() const;
    bool operator==(const LineSettings&) const = default;
};

// The device server's side of Telnet with COM port control: it offers what ser2net's telnet
// accepter offers (suppress go-ahead, echo, binary both ways, COM port control), confirms
// every line setting as asked and keeps it, and refuses whatever else the client asks for.
class TelnetServerSide {
  public:
    QByteArray opening() const;
    QByteArray encode(const QByteArray& data) const { return telnet::escape(data); }
    // The data among the client's bytes; `answer` gets what goes back.
    QByteArray decode(const QByteArray& wire, QByteArray* answer);
    const LineSettings& line() const { return line_; }

  private:
    void onComPort(std::uint8_t code, const QByteArray& value, QByteArray* answer);

    telnet::Stream stream_;
    LineSettings line_;
};

// Serves a simulated headend on a TCP port, as a serial device server in front of a unit
// does: the unit's line as a byte stream (or with Telnet framing and COM port control), one
// client at a time; a second client is disconnected at once. Answers leave at the time the
// model says; a paced headend takes the client's bytes no faster than the line carries them.
// The unit does not see connections come and go: what it sends while no client is connected
// is lost, as on a real device server.
class TcpServer : public QObject {
    Q_OBJECT
  public:
    explicit TcpServer(HeadendModel& model, QObject* parent = nullptr);
    ~TcpServer() override;

    void setTelnet(bool telnet) { telnetMode_ = telnet; }
    // Verbose mode: connections, line settings, frames and violations go to stderr, each
    // line starting with `label` ("unit 3: ") when one is given.
    void setVerbose(bool verbose, const QString& label = {});
    // Drops the connection when its command K arrives (a device server losing the unit).
    void setDropAt(int command) { dropAt_ = command; }
    // Ends a connection with no traffic for `seconds`, as ser2net's timeout does (0: never).
    void setIdleTimeout(double seconds);

    bool listen(const QHostAddress& host, quint16 port, QString* error);
    quint16 port() const { return server_.serverPort(); }
    // "tcp://127.0.0.1:4001" or "rfc2217://127.0.0.1:4001".
    QString address() const;
    // What the last client asked of the line (Telnet mode).
    const LineSettings& lineSettings() const { return line_; }
    int connections() const { return connections_; }
    // Ends the client's connection (a dropped network link).
    void dropClient();

  Q_SIGNALS:
    void clientGone();

  private:
    void onNewConnection();
    void onReadable();
    void onDisconnected();
    void onTimer();
    void flushDue();
    void schedule();
    void report();

    HeadendModel& model_;
    SteadyClock clock_;
    QTcpServer server_;
    QPointer<QTcpSocket> client_;
    QTimer idle_;
    bool idleOn_ = false;
    // Answers leave to the microsecond: a timerfd, as on the pseudo-terminal.
    int timer_ = -1;
    std::unique_ptr<QSocketNotifier> timerNotifier_;
    std::optional<TelnetServerSide> telnet_;
    QByteArray outbound_;  // sent by the unit, not yet forwarded
    LineSettings line_;
    QString label_;
    bool telnetMode_ = false;
    bool verbose_ = false;
    bool readPaused_ = false;
    int dropAt_ = 0;
    long framesAtConnect_ = 0;
    int connections_ = 0;
    Happenings happenings_;
};

}  // namespace meridan::sim
