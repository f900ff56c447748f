#include "qtserialport.h"

#include <QMetaObject>
#include <cerrno>
#include <cstring>

namespace meridan {

QtSerialPort::QtSerialPort(PortMap map, QObject* parent) : Port(parent), map_(map) {
    connect(&serial_, &QSerialPort::readyRead, this, &Port::received);
    connect(&serial_, &QSerialPort::bytesWritten, this, &Port::bytesWritten);
    connect(&serial_, &QSerialPort::errorOccurred, this, &QtSerialPort::onError);
}

QtSerialPort::~QtSerialPort() {
    serial_.close();
}

void QtSerialPort::setPortNumber(int number) {
    number_ = number;
    explicitPath_.clear();
}

void QtSerialPort::setDevicePath(const QString& path) {
    number_ = 0;
    explicitPath_ = path;
}

QString QtSerialPort::devicePath() const {
    return explicitPath_.isEmpty() ? map_.devicePath(number_) : explicitPath_;
}

QString QtSerialPort::deviceName() const {
    return printablePath(devicePath());
}

bool QtSerialPort::open() {
    error_.clear();
    failure_ = OpenFailure::Other;
    if (serial_.isOpen()) {
        error_ = QStringLiteral("already open");
        return false;
    }
    const QString device = devicePath();
    if (device.isEmpty()) {
        error_ = QStringLiteral("no device for port %1").arg(number_);
        return false;
    }
    if (hasControlCharacter(device)) {
        failure_ = OpenFailure::BadDevicePath;
        error_ = explicitPath_.isEmpty()
                     ? QStringLiteral("the setting %1 holds a control character")
                           .arg(map_.settingName(number_))
                     : QStringLiteral("the device path holds a control character");
        return false;
    }
    serial_.setPortName(device);
    serial_.setBaudRate(QSerialPort::Baud57600);
    serial_.setDataBits(QSerialPort::Data8);
    serial_.setParity(QSerialPort::NoParity);
    serial_.setStopBits(QSerialPort::OneStop);
    serial_.setFlowControl(QSerialPort::NoFlowControl);
    serial_.setReadBufferSize(receiveBufferSize());
    lost_ = false;
    if (!serial_.open(QIODevice::ReadWrite)) {
        // Another program holds the device's lock file, or the device itself (EBUSY).
        static const QString lockTaken =
            QStringLiteral("Permission error while locking the device");
        const QString busy = QString::fromLocal8Bit(std::strerror(EBUSY));
        if (serial_.error() == QSerialPort::PermissionError &&
            (serial_.errorString() == lockTaken || serial_.errorString() == busy)) {
            failure_ = OpenFailure::InUse;
            error_ = QStringLiteral("it is in use by another program");
        } else {
            error_ = serial_.errorString();
        }
        return false;
    }
    failure_ = OpenFailure::None;
    return true;
}

void QtSerialPort::close() {
    if (serial_.isOpen()) serial_.close();
    lost_ = false;
}

qint64 QtSerialPort::write(const QByteArray& data) {
    if (!isOpen()) return -1;
    return serial_.write(data);
}

qint64 QtSerialPort::bytesToWrite() const {
    return isOpen() ? serial_.bytesToWrite() : 0;
}

void QtSerialPort::discardOutput() {
    // Qt's own buffer and the driver's output queue.
    if (isOpen()) serial_.clear(QSerialPort::Output);
}

QByteArray QtSerialPort::readAll() {
    return serial_.isOpen() ? serial_.readAll() : QByteArray();
}

void QtSerialPort::setReceiveBufferSize(int bytes) {
    Port::setReceiveBufferSize(bytes);
    serial_.setReadBufferSize(bytes);
}

void QtSerialPort::onError(QSerialPort::SerialPortError error) {
    switch (error) {
        case QSerialPort::NoError:
        case QSerialPort::TimeoutError:
        case QSerialPort::NotOpenError:
        case QSerialPort::OpenError:
        case QSerialPort::UnsupportedOperationError:
            return;
        default:
            break;
    }
    // Errors while opening are reported by open() itself.
    if (!serial_.isOpen() || lost_) return;
    lost_ = true;
    error_ = serial_.errorString();
    // Closing from inside QSerialPort's own notification is not safe; close on the next pass
    // of the event loop. isOpen() already answers false.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (lost_ && serial_.isOpen()) serial_.close();
        },
        Qt::QueuedConnection);
    Q_EMIT eventOccurred(PortEvent::Lost);
}

}  // namespace meridan
