#pragma once

#include <QByteArray>
#include <QPointer>
#include <QString>
#include <optional>

#include "port.h"
#include "rfc2217.h"

class QEventLoop;
class QTcpSocket;

namespace meridan {

// A device path that names a serial device server: "tcp://HOST:PORT" (the line's bytes as
// they are) or "rfc2217://HOST:PORT" (Telnet with COM port control).
bool isNetworkAddress(const QString& path);

struct NetworkAddress {
    QString host;
    quint16 port = 0;
    bool rfc2217 = false;
};
// The parts of a network address, or nullopt and why it cannot be one.
std::optional<NetworkAddress> parseNetworkAddress(const QString& path, QString* error);

// A unit's serial line behind a serial device server, which runs the line at 57600 8N1. The
// byte stream is the line's. A connection that drops during an exchange is a port that went
// away: reported once as PortEvent::Lost, after which the port takes no more writes. One that
// the server ends while no exchange runs (an idle time-out) is made again at the next
// exchange's first write; so is one the server refused with a line of text ("Port already in
// use", PortEvent::OpenFailed, errorText() says it), or one cut off because the server sent
// more than a unit answers (PortEvent::Flood).
//
// open() connects (and, for rfc2217://, sets the line) within ConnectTimeout, waiting in a
// local event loop that repaints the windows but takes no user input meanwhile; so does a
// write that connects again.
class TcpPort final : public Port {
    Q_OBJECT
  public:
    static constexpr double ConnectTimeout = 5.0;

    explicit TcpPort(QObject* parent = nullptr);
    ~TcpPort() override;

    void setPortNumber(int number) override { number_ = number; }
    int portNumber() const override { return number_; }
    void setAddress(const QString& address) { address_ = address; }
    QString deviceName() const override;
    bool isNetwork() const override { return true; }

    bool open() override;
    void close() override;
    bool isOpen() const override;
    QString errorText() const override { return error_; }
    OpenFailure openFailure() const override { return failure_; }
    void cancelOpen() override;

    qint64 write(const QByteArray& data) override;
    qint64 bytesToWrite() const override;
    QByteArray readAll() override;

    void setExchangeRunning(bool running) override { exchangeRunning_ = running; }

    // Tests shorten the time an open may take.
    void setOpenTimeout(double seconds) { openTimeout_ = seconds; }

  private:
    // Text a server sends before it closes a connection it refuses, at most.
    static constexpr qsizetype RefusalBytes = 256;

    bool connectToServer();
    bool connectWithin(const NetworkAddress& address, double seconds);
    // "the device server refused the connection: "Port already in use"" when what came since
    // the connection was made is such a line; else empty.
    QString refusalText() const;
    bool negotiateWithin(double seconds);
    void onReadyRead();
    void onDropped();
    void dropSocket();
    // The connection is given up; the next write makes a new one.
    void dropLater();
    bool fail(const QString& why);

    QPointer<QTcpSocket> socket_;
    QEventLoop* waiting_ = nullptr;
    std::optional<Rfc2217Client> telnet_;
    QByteArray rx_;
    QString address_;
    QString error_;
    OpenFailure failure_ = OpenFailure::None;
    double openTimeout_ = ConnectTimeout;
    int number_ = 0;
    bool opening_ = false;
    bool cancelled_ = false;
    bool lost_ = false;
    bool dropped_ = false;  // no connection now; the next write makes one
    bool exchangeRunning_ = false;
    QByteArray sinceConnect_;
    qint64 sinceWrite_ = 0;
};

}  // namespace meridan
