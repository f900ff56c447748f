#pragma once

#include "port.h"
#include "portmap.h"
#include "qtserialport.h"
#include "tcpport.h"

namespace meridan {

// The program's port: a serial device, or a serial device server on the network when the
// device path of the chosen port is tcp://HOST:PORT or rfc2217://HOST:PORT ("Com5" pointed
// at "tcp://cabinet-3.example:4001" in section [Ports]). Which of the two is used is decided
// at each open(), from the device path at that moment.
class DevicePort final : public Port {
    Q_OBJECT
  public:
    explicit DevicePort(PortMap map, QObject* parent = nullptr);

    void setPortNumber(int number) override;
    int portNumber() const override { return number_; }
    // Uses a device path or network address directly instead of a port number.
    void setDevicePath(const QString& path);
    QString deviceName() const override;
    bool isNetwork() const override;

    bool open() override;
    void close() override;
    bool isOpen() const override { return current_->isOpen(); }
    QString errorText() const override { return current_->errorText(); }
    OpenFailure openFailure() const override { return current_->openFailure(); }
    void cancelOpen() override { current_->cancelOpen(); }
    void setExchangeRunning(bool running) override { tcp_.setExchangeRunning(running); }

    qint64 write(const QByteArray& data) override { return current_->write(data); }
    qint64 bytesToWrite() const override { return current_->bytesToWrite(); }
    void discardOutput() override { current_->discardOutput(); }
    bool buffersWrites() const override { return current_->buffersWrites(); }
    QByteArray readAll() override { return current_->readAll(); }
    void setReceiveBufferSize(int bytes) override;

    TcpPort& network() { return tcp_; }

  private:
    QString devicePath() const;
    void forward(Port& port);

    PortMap map_;
    QtSerialPort serial_;
    TcpPort tcp_;
    Port* current_ = &serial_;
    int number_ = 1;
    QString explicitPath_;
};

}  // namespace meridan
