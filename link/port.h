#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

namespace meridan {

// Events of the serial port besides received data. The numbers of the first two are the
// communication event codes the program has always used for them.
// A network port also reports a server that sent more than any answer of a unit (Flood), and
// a connection the server refused or that could not be made again (OpenFailed).
enum class PortEvent {
    Overrun = 1006,
    ReceiveOverflow = 1008,
    Lost = -1,
    Flood = -2,
    OpenFailed = -3
};

// Why the last open() failed, where the program tells the user more than the reason's text:
// another program holds the device, or the device path cannot be a device at all.
enum class OpenFailure { None, InUse, BadDevicePath, Other };

// The program's one serial port: 57600 baud, 8 data bits, no parity, 1 stop bit, no
// handshaking. Bytes pass unchanged in both directions.
class Port : public QObject {
    Q_OBJECT
  public:
    // The sizes the program sets when it opens a port; a firmware block is one transmit buffer.
    static constexpr int ReceiveBufferBytes = 1024;
    static constexpr int TransmitBufferBytes = 16384;

    using QObject::QObject;
    ~Port() override;

    virtual void setPortNumber(int number) = 0;
    virtual int portNumber() const = 0;
    // The device the current port number stands for ("/dev/ttyUSB0", "COM3").
    virtual QString deviceName() const = 0;
    // The port is reached over the network (tcp://, rfc2217://): opening it connects to a
    // server, so the port probe leaves it alone.
    virtual bool isNetwork() const { return false; }

    // False when the port cannot be opened (already open, taken, missing); errorText() says why.
    virtual bool open() = 0;
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    virtual QString errorText() const = 0;
    virtual OpenFailure openFailure() const { return OpenFailure::Other; }
    // An open() that is waiting (for a device server to connect and set the line) gives up
    // at once and fails: the user has asked the program to stop.
    virtual void cancelOpen() {}
    // The link says when a sequence of exchanges runs: a network port whose server ends the
    // connection in between connects again at the next exchange.
    virtual void setExchangeRunning(bool) {}

    virtual qint64 write(const QByteArray& data) = 0;
    // Bytes handed to write() that have not left yet.
    virtual qint64 bytesToWrite() const = 0;
    // Drops what was written but has not left yet, so nothing of it reaches the device.
    virtual void discardOutput() {}
    // The port takes written bytes before the line carries them (the system's buffer of a
    // serial port, a pseudo-terminal, a USB adapter, a network server): bytesToWrite() runs
    // ahead of the line, which only its rate tells.
    virtual bool buffersWrites() const { return true; }
    virtual QByteArray readAll() = 0;

    virtual void setReceiveBufferSize(int bytes) { receiveBufferSize_ = bytes; }
    int receiveBufferSize() const { return receiveBufferSize_; }
    void setTransmitBufferSize(int bytes) { transmitBufferSize_ = bytes; }
    int transmitBufferSize() const { return transmitBufferSize_; }

  Q_SIGNALS:
    void received();
    void bytesWritten(qint64 bytes);
    void eventOccurred(meridan::PortEvent event);

  private:
    int receiveBufferSize_ = ReceiveBufferBytes;
    int transmitBufferSize_ = TransmitBufferBytes;
};

}  // namespace meridan
