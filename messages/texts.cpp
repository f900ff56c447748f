#include "texts.h"

namespace meridan::text {

QString portLost(const QString& device) {
    return QStringLiteral("Com Port lost: %1 is no longer available!").arg(device);
}

QString portInUseBy(const QString& owner) {
    return QStringLiteral("The port is in use by the %1 window.").arg(owner);
}

QString portOpenFailed(const QString& device, const QString& reason) {
    if (reason.isEmpty()) return QStringLiteral("Com Port %1 could not be opened!").arg(device);
    return QStringLiteral("Com Port %1 could not be opened: %2").arg(device, reason);
}

}  // namespace meridan::text
