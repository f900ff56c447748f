#pragma once

#include <QString>
#include <QStringList>

namespace meridan {
class PortMap;
}

namespace meridan::cli {

// The lines a port reaches, as keys that two names of one line share: "device:/dev/pts/13"
// for a device (links, "//" and ".." resolved, so /dev/serial/by-id/... and the ttyUSB it
// points to are one line), "net:127.0.0.1:4001" for a device server, whatever the scheme and
// the way the address is written (127.1, a leading zero in the port), one key for each address
// its host has on this machine: a name is looked up in /etc/hosts only (localhost is the
// loopback addresses), never on the network; a name found nowhere is its own key. A port
// number (Com5) is the device or server it is pointed at in the settings.
QStringList portIdentities(const QString& port, const PortMap& map,
                           const QString& hostsFile = QStringLiteral("/etc/hosts"));

}  // namespace meridan::cli
