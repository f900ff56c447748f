#pragma once

#include <QString>

class QSettings;

namespace meridan {

constexpr int FirstComPort = 1;
constexpr int LastComPort = 15;

// Maps the port numbers 1 to 15 of the port menu to devices. On Windows port n is COMn. On
// Linux a fixed table (Com1-Com4 /dev/ttyS0-3, Com5-Com12 /dev/ttyUSB0-7, Com13-Com15
// /dev/ttyACM0-2), each entry overridable in the settings store: section "Ports", key "Com5".
class PortMap {
  public:
    explicit PortMap(QSettings* store = nullptr) : store_(store) {}
    QString devicePath(int number) const;
    static QString defaultDevicePath(int number);
    static QString settingsKey(int number);

  private:
    QSettings* store_;
};

// "Com5" / "com5" -> 5; anything else -> 0.
int parseComName(const QString& name);

}  // namespace meridan
