#include "fleetreport.h"

#include <QHash>
#include <QJsonArray>
#include <cmath>

#include "clitool.h"

namespace meridan::cli {

namespace {
QString secondsText(double s) {
    return QStringLiteral("%1 s").arg(s, 0, 'f', 1);
}

constexpr UnitResult Results[] = {UnitResult::Ok, UnitResult::Differs, UnitResult::Failed,
                                  UnitResult::Interrupted, UnitResult::NotRun};
}  // namespace

int fleetExitCode(const FleetRun& fleet) {
    if (fleet.interruptedBy() != 0) return 128 + fleet.interruptedBy();
    bool differs = false;
    for (const auto& r : fleet.runs()) {
        if (r->result == UnitResult::Differs) {
            differs = true;
        } else if (r->result != UnitResult::Ok) {
            return ExitLinkFailure;
        }
    }
    return differs ? ExitDifferences : ExitOk;
}

void printSummary(const FleetRun& fleet, QTextStream& out) {
    qsizetype nameWidth = 4, portWidth = 4, resultWidth = 6;
    for (const auto& r : fleet.runs()) {
        nameWidth = std::max(nameWidth, r->unit.name.size());
        portWidth = std::max(portWidth, r->unit.port.size());
        resultWidth = std::max(resultWidth, resultName(r->result).size());
    }
    auto row = [&](const QString& a, const QString& b, const QString& c, const QString& d,
                   const QString& e) {
        out << QStringLiteral("%1  %2  %3  %4  %5")
                   .arg(a, -int(nameWidth))
                   .arg(b, -int(portWidth))
                   .arg(c, -int(resultWidth))
                   .arg(d, 7)
                   .arg(e)
                   .trimmed()
            << '\n';
    };
    out << '\n';
    row(QStringLiteral("Unit"), QStringLiteral("Port"), QStringLiteral("Result"),
        QStringLiteral("Time"), QStringLiteral("Details"));
    QHash<UnitResult, int> counts;
    for (const auto& r : fleet.runs()) {
        row(r->unit.name, r->unit.port, resultName(r->result),
            r->result == UnitResult::NotRun ? QString() : secondsText(r->seconds), r->detail);
        ++counts[r->result];
    }
    QStringList parts;
    for (const UnitResult k : Results) {
        if (counts.value(k) > 0)
            parts << QStringLiteral("%1 %2").arg(counts.value(k)).arg(resultName(k));
    }
    out << '\n'
        << fleet.runs().size() << (fleet.runs().size() == 1 ? " unit: " : " units: ")
        << parts.join(QStringLiteral(", ")) << "; " << secondsText(fleet.seconds()) << " in all";
    if (fleet.slots() < int(fleet.runs().size())) {
        out << "; at most " << fleet.slots() << " at a time (" << fleet.slotsBound() << ')';
    }
    out << '\n';
    out.flush();
}

QJsonObject reportOf(const FleetRun& fleet, const QString& verb, const QString& inventory,
                     const QDateTime& started, int exitCode) {
    QJsonArray units;
    QJsonObject counts;
    for (const auto& r : fleet.runs()) {
        const QString result = resultName(r->result);
        QJsonObject u{{"name", r->unit.name},
                      {"port", r->unit.port},
                      {"result", result},
                      {"detail", r->detail},
                      {"messages", QJsonArray::fromStringList(r->said)}};
        const bool ran = r->phase != UnitRun::Phase::Waiting && r->pid > 0;
        if (ran) {
            if (r->exitCode >= 0) u["exit_code"] = r->exitCode;
            u["seconds"] = std::round(r->seconds * 1000.0) / 1000.0;
        }
        const UnitOutcome o = r->outcome.value_or(UnitOutcome());
        if (verb == QLatin1String("diff") || verb == QLatin1String("write")) {
            u["profile"] = r->unit.profile;
            if (ran) u["differences"] = QJsonArray::fromStringList(o.differences);
        }
        if (verb == QLatin1String("write") && !o.backup.isEmpty()) u["backup"] = o.backup;
        if (verb == QLatin1String("flash")) u["image"] = r->unit.image;
        if (verb == QLatin1String("read")) {
            if (!o.record.isEmpty()) u["plan"] = o.record;
            // A record with values no unit reports is kept, and says so.
            if (!o.unusual.isEmpty()) u["unusual_values"] = QJsonArray::fromStringList(o.unusual);
            if (!o.pdf.isEmpty()) u["pdf"] = o.pdf;
        } else if (!r->output.isEmpty()) {
            u["output"] = r->output;
        }
        if (r->outputTruncated) u["output_truncated"] = true;
        counts[result] = counts[result].toInt() + 1;
        units.append(u);
    }
    return QJsonObject{{"command", verb},
                       {"inventory", inventory},
                       {"started", started.toString(Qt::ISODate)},
                       {"seconds", std::round(fleet.seconds() * 1000.0) / 1000.0},
                       {"exit_code", exitCode},
                       {"units_at_once", fleet.slots()},
                       {"counts", counts},
                       {"units", units}};
}

}  // namespace meridan::cli
