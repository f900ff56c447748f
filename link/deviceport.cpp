#include "deviceport.h"

namespace meridan {

DevicePort::DevicePort(PortMap map, QObject* parent)
    : Port(parent), map_(map), serial_(map), tcp_() {
    forward(serial_);
    forward(tcp_);
}

void DevicePort::forward(Port& port) {
    connect(&port, &Port::received, this, &Port::received);
    connect(&port, &Port::bytesWritten, this, &Port::bytesWritten);
    connect(&port, &Port::eventOccurred, this, &Port::eventOccurred);
}

void DevicePort::setPortNumber(int number) {
    number_ = number;
    explicitPath_.clear();
    serial_.setPortNumber(number);
    tcp_.setPortNumber(number);
}

void DevicePort::setDevicePath(const QString& path) {
    number_ = 0;
    explicitPath_ = path;
    serial_.setDevicePath(path);
    tcp_.setPortNumber(0);
}

QString DevicePort::devicePath() const {
    return explicitPath_.isEmpty() ? map_.devicePath(number_) : explicitPath_;
}

QString DevicePort::deviceName() const {
    return isNetwork() ? printablePath(devicePath().trimmed()) : serial_.deviceName();
}

bool DevicePort::isNetwork() const {
    return isNetworkAddress(devicePath());
}

bool DevicePort::open() {
    // An open port stays the one it is; the other kind is not tried meanwhile.
    if (current_->isOpen()) return current_->open();
    current_ = isNetwork() ? static_cast<Port*>(&tcp_) : &serial_;
    if (current_ == &tcp_) tcp_.setAddress(devicePath().trimmed());
    return current_->open();
}

void DevicePort::close() {
    current_->close();
}

void DevicePort::setReceiveBufferSize(int bytes) {
    Port::setReceiveBufferSize(bytes);
    serial_.setReceiveBufferSize(bytes);
    tcp_.setReceiveBufferSize(bytes);
}

}  // namespace meridan
