#pragma once

#include <QString>

namespace meridan::text {

// The program's texts about the link to the unit, exactly as the user sees them.
inline const QString ConnectError = QStringLiteral("Connect Error");
inline const QString ConnectionAborted = QStringLiteral("Connection aborted!");
inline const QString ConnectionNotEstablished =
    QStringLiteral("Connection could not be established!");
inline const QString ComPortError = QStringLiteral("ComPortError");
inline const QString NoComPorts = QStringLiteral("No Com Ports available!");
inline const QString NoComPortSelected = QStringLiteral("No Com Port selected!");
inline const QString Overrun = QStringLiteral("Overrun!");
inline const QString RxOver = QStringLiteral("RXOver!");
// A firmware update that failed.
inline const QString UpdateError = QStringLiteral("Update Error");
inline const QString UpdateFailed = QStringLiteral("Update error\rUpdate Fehler");
QString portLost(const QString& device);
// Another window's sequence holds the port: "The port is in use by the Diagnostic window."
QString portInUseBy(const QString& owner);
QString portOpenFailed(const QString& device, const QString& reason);

}  // namespace meridan::text
