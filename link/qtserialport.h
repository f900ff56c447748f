#pragma once

#include <QSerialPort>

#include "port.h"
#include "portmap.h"

namespace meridan {

// The real serial port. A device that goes away (USB adapter pulled, the other end of a
// pseudo-terminal closed) makes QSerialPort report errors over and over while it still
// calls itself open; this adapter reports PortEvent::Lost once, stops taking writes at once
// and closes the device. It never reports Overrun or ReceiveOverflow: QSerialPort keeps what
// arrives in a buffer of its own and has no such events; a lost byte shows as a reply the
// link waits for in vain.
class QtSerialPort final : public Port {
    Q_OBJECT
  public:
    explicit QtSerialPort(PortMap map, QObject* parent = nullptr);
    ~QtSerialPort() override;

    void setPortNumber(int number) override;
    int portNumber() const override { return number_; }
    // Uses a device path directly instead of a port number (command line, tests).
    void setDevicePath(const QString& path);
    // As a message shows it: control characters written as \xNN.
    QString deviceName() const override;

    bool open() override;
    void close() override;
    bool isOpen() const override { return serial_.isOpen() && !lost_; }
    QString errorText() const override { return error_; }
    OpenFailure openFailure() const override { return failure_; }

    qint64 write(const QByteArray& data) override;
    qint64 bytesToWrite() const override;
    void discardOutput() override;
    QByteArray readAll() override;
    void setReceiveBufferSize(int bytes) override;

  private:
    void onError(QSerialPort::SerialPortError error);
    QString devicePath() const;

    QSerialPort serial_;
    PortMap map_;
    int number_ = 1;
    QString explicitPath_;
    QString error_;
    OpenFailure failure_ = OpenFailure::None;
    bool lost_ = false;
};

}  // namespace meridan
