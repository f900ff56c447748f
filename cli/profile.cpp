#include "profile.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSet>
#include <cmath>

namespace meridan::cli {

QJsonObject unitToJson(const UnitImage& unit, const MemoryUnitView& view) {
    QJsonArray channels;
    for (int i = 0; i < ConverterCount; ++i) {
        const auto& c = view.channels[i];
        channels.append(QJsonObject{
            {QStringLiteral("converter"), i + 1},
            {QStringLiteral("carrier"), unit.Carrier[i]},
            {QStringLiteral("sat"),
             c.polarisation >= 0 ? QJsonValue(c.polarisation + 1) : QJsonValue(QJsonValue::Null)},
            {QStringLiteral("input_mhz"), unit.InFreq[i]},
            {QStringLiteral("gain"), unit.Gain[i]},
            {QStringLiteral("output_mhz"), c.outFreq},
            {QStringLiteral("input_lock"), c.inputLock},
            {QStringLiteral("output_lock"), c.outputLock},
        });
    }
    return QJsonObject{
        {QStringLiteral("format"), ProfileFormat},
        {QStringLiteral("unit"), QJsonObject{{QStringLiteral("type"), unit.UnitType},
                                             {QStringLiteral("hw"), unit.HwVersion},
                                             {QStringLiteral("sw"), unit.SwVersion},
                                             {QStringLiteral("serial"), unit.SerialNo}}},
        {QStringLiteral("channels"), channels},
    };
}

namespace {

QString typeName(const QJsonValue& v) {
    switch (v.type()) {
        case QJsonValue::Null:
            return QStringLiteral("null");
        case QJsonValue::Bool:
            return QStringLiteral("true/false");
        case QJsonValue::Double:
            return QStringLiteral("a number");
        case QJsonValue::String:
            return QStringLiteral("text");
        case QJsonValue::Array:
            return QStringLiteral("a list");
        case QJsonValue::Object:
            return QStringLiteral("an object");
        case QJsonValue::Undefined:
            break;
    }
    return QStringLiteral("nothing");
}

// A whole number within [lo, hi] or an error text.
std::variant<int, QString> wholeInRange(const QJsonObject& o, const QString& key, int lo, int hi) {
    if (!o.contains(key)) return QStringLiteral("\"%1\" is missing").arg(key);
    const QJsonValue v = o.value(key);
    if (!v.isDouble()) {
        return QStringLiteral("\"%1\" must be a whole number, not %2").arg(key, typeName(v));
    }
    const double d = v.toDouble();
    if (d != std::floor(d)) {
        return QStringLiteral("\"%1\" must be a whole number, not %2").arg(key).arg(d);
    }
    if (d < lo || d > hi) {
        return QStringLiteral("\"%1\" %2 is out of range (%3 to %4)")
            .arg(key)
            .arg(d)
            .arg(lo)
            .arg(hi);
    }
    return static_cast<int>(d);
}

QString unknownKeys(const QJsonObject& o, const QSet<QString>& known) {
    QStringList extra;
    for (auto it = o.begin(); it != o.end(); ++it) {
        if (!known.contains(it.key())) extra << QStringLiteral("\"%1\"").arg(it.key());
    }
    if (extra.isEmpty()) return {};
    return QStringLiteral("unknown %1 %2")
        .arg(extra.size() == 1 ? QStringLiteral("key") : QStringLiteral("keys"),
             extra.join(QStringLiteral(", ")));
}

}  // namespace

std::variant<Profile, QString> parseProfile(const QByteArray& json) {
    QJsonParseError pe{};
    const QJsonDocument doc = QJsonDocument::fromJson(json, &pe);
    if (pe.error != QJsonParseError::NoError) {
        return QStringLiteral("not valid JSON at offset %1: %2")
            .arg(pe.offset)
            .arg(pe.errorString());
    }
    if (!doc.isObject()) return QStringLiteral("the file must hold one JSON object");
    const QJsonObject root = doc.object();
    if (QString e = unknownKeys(
            root, {QStringLiteral("format"), QStringLiteral("unit"), QStringLiteral("channels")});
        !e.isEmpty()) {
        return e;
    }
    const QJsonValue format = root.value(QStringLiteral("format"));
    if (!format.isDouble() || format.toDouble() != ProfileFormat) {
        return QStringLiteral("\"format\" must be %1, found %2")
            .arg(ProfileFormat)
            .arg(format.isDouble() ? QString::number(format.toDouble()) : typeName(format));
    }

    Profile profile;
    if (root.contains(QStringLiteral("unit"))) {
        const QJsonValue u = root.value(QStringLiteral("unit"));
        if (!u.isObject())
            return QStringLiteral("\"unit\" must be an object, not %1").arg(typeName(u));
        const QJsonObject unit = u.toObject();
        if (QString e = unknownKeys(unit, {QStringLiteral("type"), QStringLiteral("hw"),
                                           QStringLiteral("sw"), QStringLiteral("serial")});
            !e.isEmpty()) {
            return QStringLiteral("unit: ") + e;
        }
        for (const char* key : {"type", "hw", "sw"}) {
            const QJsonValue v = unit.value(QLatin1String(key));
            if (!v.isUndefined() && !v.isString()) {
                return QStringLiteral("unit: \"%1\" must be text, not %2")
                    .arg(QLatin1String(key), typeName(v));
            }
        }
        const QJsonValue serial = unit.value(QStringLiteral("serial"));
        if (!serial.isUndefined() && !serial.isDouble()) {
            return QStringLiteral("unit: \"serial\" must be a number, not %1")
                .arg(typeName(serial));
        }
        profile.unitType = unit.value(QStringLiteral("type")).toString();
        profile.hwVersion = unit.value(QStringLiteral("hw")).toString();
        profile.swVersion = unit.value(QStringLiteral("sw")).toString();
        if (serial.isDouble()) profile.serial = static_cast<qint64>(serial.toDouble());
    }

    const QJsonValue ch = root.value(QStringLiteral("channels"));
    if (!ch.isArray())
        return QStringLiteral("\"channels\" must be a list of %1 converters, not %2")
            .arg(ConverterCount)
            .arg(typeName(ch));
    const QJsonArray channels = ch.toArray();
    if (channels.size() > ConverterCount) {
        return QStringLiteral("\"channels\" lists %1 converters; a headend has %2")
            .arg(channels.size())
            .arg(ConverterCount);
    }
    for (int i = 0; i < ConverterCount; ++i) {
        const QString where = QStringLiteral("converter %1: ").arg(i + 1);
        if (i >= channels.size()) return where + QStringLiteral("missing");
        if (!channels[i].isObject()) {
            return where + QStringLiteral("must be an object, not %1").arg(typeName(channels[i]));
        }
        const QJsonObject o = channels[i].toObject();
        if (QString e =
                unknownKeys(o, {QStringLiteral("converter"), QStringLiteral("carrier"),
                                QStringLiteral("sat"), QStringLiteral("input_mhz"),
                                QStringLiteral("gain"), QStringLiteral("output_mhz"),
                                QStringLiteral("input_lock"), QStringLiteral("output_lock")});
            !e.isEmpty()) {
            return where + e;
        }
        if (o.contains(QStringLiteral("converter"))) {
            const QJsonValue n = o.value(QStringLiteral("converter"));
            if (!n.isDouble() || n.toDouble() != i + 1) {
                return where + QStringLiteral("\"converter\" must be %1 at this place in the list")
                                   .arg(i + 1);
            }
        }
        for (const char* key : {"output_mhz", "input_lock", "output_lock"}) {
            const QJsonValue v = o.value(QLatin1String(key));
            if (!v.isUndefined() && !v.isString() && !v.isNull()) {
                return where + QStringLiteral("\"%1\" must be text, not %2")
                                   .arg(QLatin1String(key), typeName(v));
            }
        }
        ProfileChannel& c = profile.channels[i];
        struct Field {
            const char* key;
            int lo, hi;
            int* out;
        };
        const Field fields[] = {{"carrier", 0, 1, &c.carrier},
                                {"sat", 1, 4, &c.sat},
                                {"input_mhz", InputMhzMin, InputMhzMax, &c.inputMhz},
                                {"gain", 0, 1, &c.gain}};
        for (const Field& f : fields) {
            auto v = wholeInRange(o, QLatin1String(f.key), f.lo, f.hi);
            if (auto* e = std::get_if<QString>(&v)) return where + *e;
            *f.out = std::get<int>(v);
        }
    }
    return profile;
}

void applyProfile(const Profile& profile, MemoryUnitView& view) {
    for (int i = 0; i < ConverterCount; ++i) {
        const ProfileChannel& c = profile.channels[i];
        view.setCarrier(i, c.carrier);
        view.selectPolarisation(i, c.sat - 1);
        view.setInFreqText(i, QString::number(c.inputMhz));
        view.setGain(i, c.gain);
    }
}

namespace {
QString onOff(int v) {
    return v == 0 ? QStringLiteral("OFF") : v == 1 ? QStringLiteral("ON") : QString::number(v);
}
QString satText(int sat) {
    return sat >= 1 && sat <= 4 ? QStringLiteral("SAT %1").arg(sat)
                                : QStringLiteral("no SAT input");
}
}  // namespace

QStringList diffPlan(const UnitImage& unit, const MemoryUnitView& view, const Profile& plan,
                     const QString& planSide) {
    QStringList lines;
    for (int i = 0; i < ConverterCount; ++i) {
        const ProfileChannel& p = plan.channels[i];
        const QString head = QStringLiteral("Converter %1: ").arg(i + 1);
        auto differs = [&](const QString& what, const QString& onUnit, const QString& inPlan) {
            lines << head + what + onUnit + QStringLiteral(" on unit, ") + inPlan +
                         QLatin1Char(' ') + planSide;
        };
        if (unit.Carrier[i] != p.carrier)
            differs(QStringLiteral("carrier "), onOff(unit.Carrier[i]), onOff(p.carrier));
        const int sat = view.channels[i].polarisation + 1;
        if (sat != p.sat) differs(QString(), satText(sat), satText(p.sat));
        if (unit.InFreq[i] != p.inputMhz) {
            differs(QStringLiteral("input "), QStringLiteral("%1 MHz").arg(unit.InFreq[i]),
                    QStringLiteral("%1 MHz").arg(p.inputMhz));
        }
        if (unit.Gain[i] != p.gain)
            differs(QStringLiteral("gain "), onOff(unit.Gain[i]), onOff(p.gain));
    }
    return lines;
}

QString saveBackup(const QString& folder, const UnitImage& unit, const MemoryUnitView& view,
                   QString* error) {
    if (!QDir().mkpath(folder)) {
        if (error) *error = QStringLiteral("cannot create the folder %1").arg(folder);
        return {};
    }
    QString type = unit.UnitType;
    type.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9._-]+")), QStringLiteral("_"));
    const QString stem =
        QStringLiteral("%1-%2-%3")
            .arg(type.isEmpty() ? QStringLiteral("unit") : type)
            .arg(unit.SerialNo)
            .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")));
    const QDir dir(folder);
    QString path = dir.filePath(stem + QStringLiteral(".json"));
    for (int k = 2; QFileInfo::exists(path); ++k)
        path = dir.filePath(QStringLiteral("%1-%2.json").arg(stem).arg(k));
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly) ||
        f.write(QJsonDocument(unitToJson(unit, view)).toJson(QJsonDocument::Indented)) < 0 ||
        !f.commit()) {
        if (error) *error = f.errorString();
        return {};
    }
    return path;
}

}  // namespace meridan::cli
