#pragma once

#include <QString>
#include <QStringList>

class QSettings;
class QVariant;

namespace meridan {

// Where the program keeps its settings: QSettings' organisation and application names (the
// application's title), and the key of the port in use at the last exit.
inline const QString SettingsOrganisation = QStringLiteral("Meridan");
inline const QString ApplicationTitle = QStringLiteral("Meridan Converter");
inline const QString StoredPortKey = QStringLiteral("Settings/COM-Port");

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
    // Where port `number` is pointed elsewhere, for messages: "Com5 in section [Ports] of FILE".
    QString settingName(int number) const;

  private:
    QSettings* store_;
};

// The files QSettings reads the settings from on this system, where they exist: the user's
// ($XDG_CONFIG_HOME) and the system's ($XDG_CONFIG_DIRS, /etc/xdg), the program's own and
// its maker's.
QStringList settingsFiles();
// A settings file that must not be read (a FIFO would hold every start, a device would be
// read without end): "the settings file PATH is not a regular file (a FIFO)"; empty when
// every one is a regular file.
QString unusableSettingsFile();

// "Com5" / "com5" -> 5; anything else -> 0.
int parseComName(const QString& name);

// The port stored under "Settings/COM-Port": 1 to 15, or 0 when none is stored or the value is
// not a port number (out of range, not a whole number).
int parseStoredPort(const QVariant& value);

// A device path with a control character (NUL, line feed, escape...) is never handed to the
// serial port: Qt names a lock file after the device and cannot remove one with such a name.
bool hasControlCharacter(const QString& text);
// The path as a message can show it: control characters written as \xNN.
QString printablePath(const QString& path);

}  // namespace meridan
