#include "tcpunits.h"

#include <QDir>
#include <QHostAddress>

namespace meridan::sim {

// N units on N consecutive TCP ports (each on a free port of its own when PORT is 0).
std::unique_ptr<TcpUnits> startTcpUnits(const TcpOptions& o, const UnitSetUp& setUp,
                                        QTextStream& out, QTextStream& err, int* code) {
    auto fail = [&](int exitCode, const QString& why) {
        if (!why.isEmpty()) err << "meridan-headend-sim: " << why << Qt::endl;
        *code = exitCode;
        return std::unique_ptr<TcpUnits>();
    };
    auto bad = [&](const QString& why) { return fail(2, why); };
    QString host = QStringLiteral("127.0.0.1");
    QString portText = o.listen;
    if (const qsizetype colon = o.listen.lastIndexOf(QLatin1Char(':')); colon >= 0) {
        host = o.listen.left(colon);
        if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
            host = host.mid(1, host.size() - 2);
        portText = o.listen.mid(colon + 1);
    }
    const QHostAddress address(host);
    bool ok = false;
    const uint port = portText.toUInt(&ok);
    if (address.isNull() || !ok || port > 65535)
        return bad(
            QStringLiteral("--tcp takes [HOST:]PORT (an IP address), not \"%1\"").arg(o.listen));
    const int count = o.units.isEmpty() ? 1 : o.units.toInt(&ok);
    if (o.units.isEmpty()) ok = true;
    if (!ok || count < 1 || count > 1000) return bad(QStringLiteral("--units takes 1 to 1000"));
    if (port != 0 && port + uint(count) - 1 > 65535)
        return bad(QStringLiteral("too many units for the ports above %1").arg(port));
    if (count > 1 && !o.state.isEmpty())
        return bad(QStringLiteral("--state keeps one unit; --state-dir DIR keeps each of several"));
    const int dropAt = o.dropAt.toInt();
    if (!o.stateDir.isEmpty() && !QDir().mkpath(o.stateDir))
        return bad(QStringLiteral("cannot create the folder %1").arg(o.stateDir));

    auto units = std::make_unique<TcpUnits>();
    for (int k = 1; k <= count; ++k) {
        auto model = std::make_unique<HeadendModel>();
        const QString statePath =
            !o.stateDir.isEmpty() ? QDir(o.stateDir).filePath(QStringLiteral("unit-%1.json").arg(k))
                                  : o.state;
        QString firmware = o.firmwareOut;
        if (count > 1 && !firmware.isEmpty()) firmware += QStringLiteral(".%1").arg(k);
        if (!setUp(*model, statePath, firmware)) return fail(2, {});
        auto server = std::make_unique<TcpServer>(*model);
        server->setTelnet(o.telnet);
        server->setDropAt(dropAt);
        server->setVerbose(o.verbose, count > 1 ? QStringLiteral("unit %1: ").arg(k) : QString());
        QString why;
        if (!server->listen(address, port == 0 ? 0 : quint16(port + uint(k) - 1), &why))
            return fail(1, why);
        units->models.push_back(std::move(model));
        units->servers.push_back(std::move(server));
    }
    for (const auto& s : units->servers)
        out << s->address() << '\n';
    out.flush();
    *code = 0;
    return units;
}

}  // namespace meridan::sim
