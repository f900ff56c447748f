#include "portidentity.h"

#include <QDir>
#include <QFileInfo>
#include <QHostAddress>
#include <QRegularExpression>

#include "link/portmap.h"
#include "link/tcpport.h"
#include "plan/inputfiles.h"

namespace meridan::cli {

namespace {

QString addressKey(QHostAddress address) {
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    if (mapped) address = QHostAddress(v4);  // ::ffff:127.0.0.1 is 127.0.0.1
    return address.toString();
}

// The addresses `host` has on this machine, without asking a name server.
QStringList localAddresses(const QString& host, const QString& hostsFile) {
    if (QHostAddress numeric; numeric.setAddress(host)) return {addressKey(numeric)};
    QString name = host.toLower();
    if (name.endsWith(QLatin1Char('.'))) name.chop(1);
    QStringList found;
    if (name == QLatin1String("localhost") || name.endsWith(QLatin1String(".localhost")))
        found << QStringLiteral("127.0.0.1") << QStringLiteral("::1");
    // Lines of "ADDRESS NAME [ALIAS...]", "#" to the end of a line a comment.
    QString why;
    const auto text = plan::readRegularFile(hostsFile, plan::ProfileMaxBytes, &why);
    static const QRegularExpression space(QStringLiteral("\\s+"));
    for (const QString& line : QString::fromUtf8(text.value_or(QByteArray())).split('\n')) {
        const QStringList fields =
            line.section(QLatin1Char('#'), 0, 0).split(space, Qt::SkipEmptyParts);
        QHostAddress address;
        if (fields.size() < 2 || !address.setAddress(fields[0])) continue;
        for (qsizetype k = 1; k < fields.size(); ++k) {
            if (fields[k].toLower() == name) found << addressKey(address);
        }
    }
    found.removeDuplicates();
    return found;
}

}  // namespace

QStringList portIdentities(const QString& port, const PortMap& map, const QString& hostsFile) {
    const int number = parseComName(port);
    const QString path = (number > 0 ? map.devicePath(number) : port).trimmed();
    if (isNetworkAddress(path)) {
        const auto address = parseNetworkAddress(path, nullptr);
        if (!address) return {QStringLiteral("net:") + path.toLower()};
        QStringList keys;
        const QStringList hosts = localAddresses(address->host, hostsFile);
        for (const QString& host : hosts)
            keys << QStringLiteral("net:%1:%2").arg(host).arg(address->port);
        if (keys.isEmpty())
            keys
                << QStringLiteral("net:name:%1:%2").arg(address->host.toLower()).arg(address->port);
        return keys;
    }
    const QFileInfo device(path);
    const QString canonical = device.canonicalFilePath();
    return {QStringLiteral("device:") +
            (canonical.isEmpty() ? QDir::cleanPath(device.absoluteFilePath()) : canonical)};
}

}  // namespace meridan::cli
