#include "unitresult.h"

#include <QJsonArray>
#include <QJsonDocument>

#include "clitool.h"

namespace meridan::cli {

QString resultName(UnitResult result) {
    switch (result) {
        case UnitResult::Ok:
            return QStringLiteral("ok");
        case UnitResult::Differs:
            return QStringLiteral("differs");
        case UnitResult::Failed:
            return QStringLiteral("failed");
        case UnitResult::Interrupted:
            return QStringLiteral("interrupted");
        case UnitResult::NotRun:
            return QStringLiteral("not run");
    }
    return {};
}

UnitResult resultOfExitCode(int exitCode) {
    if (exitCode == ExitOk) return UnitResult::Ok;
    if (exitCode == ExitDifferences) return UnitResult::Differs;
    if (exitCode > 128 && exitCode < 160) return UnitResult::Interrupted;
    return UnitResult::Failed;
}

QJsonObject outcomeToJson(const UnitOutcome& o) {
    QJsonObject j{{"exit_code", o.exitCode}};
    if (!o.record.isEmpty()) j["record"] = o.record;
    if (!o.unusual.isEmpty()) j["unusual_values"] = QJsonArray::fromStringList(o.unusual);
    if (!o.differences.isEmpty()) j["differences"] = QJsonArray::fromStringList(o.differences);
    if (!o.backup.isEmpty()) j["backup"] = o.backup;
    if (!o.summary.isEmpty()) j["summary"] = o.summary;
    if (!o.pdf.isEmpty()) j["pdf"] = o.pdf;
    if (o.readAt.isValid()) j["read_at"] = o.readAt.toString(Qt::ISODateWithMs);
    return j;
}

UnitOutcome outcomeFromJson(const QJsonObject& j) {
    auto strings = [&](const char* key) {
        QStringList list;
        for (const QJsonValue v : j.value(QLatin1String(key)).toArray())
            list << v.toString();
        return list;
    };
    UnitOutcome o;
    o.exitCode = j.value(QLatin1String("exit_code")).toInt(-1);
    o.record = j.value(QLatin1String("record")).toObject();
    o.unusual = strings("unusual_values");
    o.differences = strings("differences");
    o.backup = j.value(QLatin1String("backup")).toString();
    o.summary = j.value(QLatin1String("summary")).toString();
    o.pdf = j.value(QLatin1String("pdf")).toString();
    o.readAt =
        QDateTime::fromString(j.value(QLatin1String("read_at")).toString(), Qt::ISODateWithMs);
    return o;
}

QByteArray eventLine(const char* kind, const QJsonValue& value) {
    return QJsonDocument(QJsonObject{{QLatin1String(kind), value}}).toJson(QJsonDocument::Compact) +
           '\n';
}

QList<EventReader::Event> EventReader::takeLine(const QByteArray& line) {
    if (line.trimmed().isEmpty()) return {};
    const QJsonObject o = QJsonDocument::fromJson(line).object();
    if (o.size() != 1) return {{QStringLiteral("said"), QString::fromUtf8(line).trimmed()}};
    return {{o.begin().key(), o.begin().value()}};
}

QList<EventReader::Event> EventReader::feed(const QByteArray& bytes) {
    pending_ += bytes;
    QList<Event> events;
    qsizetype nl;
    while ((nl = pending_.indexOf('\n')) >= 0) {
        events += takeLine(pending_.left(nl));
        pending_.remove(0, nl + 1);
    }
    return events;
}

QList<EventReader::Event> EventReader::finish() {
    QList<Event> events = takeLine(pending_);
    pending_.clear();
    return events;
}

}  // namespace meridan::cli
