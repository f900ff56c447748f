#include "profile.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocale>
#include <QRegularExpression>
#include <QSet>
#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "inputfiles.h"
#include "protocol/readcheck.h"

namespace meridan::plan {

namespace {

const QString SourceUnit = QStringLiteral("unit");

// The digest that marks a record of a unit as untouched: the 48 settable values in order.
QString settingsDigest(const ChannelSettings& settings) {
    QByteArray text;
    for (const ChannelSetting& s : settings) {
        text += QByteArray::number(s.carrier) + ',' + QByteArray::number(s.polarisation) + ',' +
                QByteArray::number(s.inFreq) + ',' + QByteArray::number(s.gain) + ';';
    }
    return QString::fromLatin1(QCryptographicHash::hash(text, QCryptographicHash::Sha256).toHex());
}

}  // namespace

ChannelSettings settingsOf(const UnitImage& unit) {
    ChannelSettings out{};
    for (int i = 0; i < ConverterCount; ++i)
        out[i] = {unit.Polarisation[i], unit.InFreq[i], unit.Gain[i], unit.Carrier[i]};
    return out;
}

QJsonObject unitToJson(const UnitImage& unit, const MemoryUnitView& view, bool confirmed) {
    QJsonArray channels;
    for (int i = 0; i < ConverterCount; ++i) {
        const auto& c = view.channels[i];
        const int code = unit.Polarisation[i];
        QJsonObject o{
            {QStringLiteral("converter"), i + 1},
            {QStringLiteral("carrier"), unit.Carrier[i]},
            {QStringLiteral("sat"), code < SatInputs ? QJsonValue(code + 1) : QJsonValue()},
            {QStringLiteral("input_mhz"), unit.InFreq[i]},
            {QStringLiteral("gain"), unit.Gain[i]},
            {QStringLiteral("output_mhz"), c.outFreq},
            {QStringLiteral("input_lock"), c.inputLock},
            {QStringLiteral("output_lock"), c.outputLock},
        };
        if (code >= SatInputs) o.insert(QStringLiteral("sat_code"), code);
        channels.append(o);
    }
    return QJsonObject{
        {QStringLiteral("format"), ProfileFormat},
        {QStringLiteral("source"), SourceUnit},
        {QStringLiteral("settings_sha256"), settingsDigest(settingsOf(unit))},
        {QStringLiteral("confirmed"), confirmed},
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

// A number as the file gave it, every digit kept: 1010.0000000000002, 4294967297.
QString numberText(double d) {
    return QString::number(d, 'g', QLocale::FloatingPointShortest);
}

// A whole number within [lo, hi] or an error text. The range is checked on the double, before
// any conversion, so 1e300 is an error like any other.
std::variant<qint64, QString> wholeInRange(const QJsonObject& o, const QString& key, qint64 lo,
                                           qint64 hi) {
    if (!o.contains(key)) return QStringLiteral("\"%1\" is missing").arg(key);
    const QJsonValue v = o.value(key);
    if (!v.isDouble()) {
        return QStringLiteral("\"%1\" must be a whole number, not %2").arg(key, typeName(v));
    }
    const double d = v.toDouble();
    if (d != std::floor(d)) {
        return QStringLiteral("\"%1\" must be a whole number, not %2").arg(key, numberText(d));
    }
    if (!(d >= double(lo) && d <= double(hi))) {
        return QStringLiteral("\"%1\" %2 is out of range (%3 to %4)")
            .arg(key, numberText(d))
            .arg(lo)
            .arg(hi);
    }
    return static_cast<qint64>(d);
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

// QJsonDocument keeps the last of two equal keys of an object. A profile with one is refused:
// which of the two the author meant cannot be known. `json` is valid JSON here.
QString duplicateKey(const QByteArray& json) {
    struct Level {
        bool object = false;
        QString where;
        QSet<QString> keys;
        QString lastKey;
        bool expectKey = true;
        int items = 0;
    };
    std::vector<Level> stack;
    for (qsizetype i = 0; i < json.size(); ++i) {
        const char c = json[i];
        if (c == '{' || c == '[') {
            Level next;
            next.object = c == '{';
            if (stack.empty()) {
                next.where = QStringLiteral("at the top level");
            } else if (const Level& up = stack.back(); up.object) {
                next.where = stack.size() == 1
                                 ? QStringLiteral("in \"%1\"").arg(up.lastKey)
                                 : up.where + QStringLiteral(", \"%1\"").arg(up.lastKey);
            } else if (stack.size() == 2 && up.where == QLatin1String("in \"channels\"")) {
                next.where = QStringLiteral("in converter %1").arg(up.items + 1);
            } else {
                next.where = up.where + QStringLiteral(", item %1").arg(up.items + 1);
            }
            stack.push_back(next);
        } else if (c == '}' || c == ']') {
            stack.pop_back();
        } else if (c == ',' && !stack.empty()) {
            Level& top = stack.back();
            top.expectKey = top.object;
            ++top.items;
        } else if (c == '"') {
            const qsizetype start = i;
            for (++i; i < json.size() && json[i] != '"'; ++i) {
                if (json[i] == '\\') ++i;
            }
            if (stack.empty() || !stack.back().object || !stack.back().expectKey) continue;
            Level& top = stack.back();
            // The key as JSON means it, escapes resolved.
            const QString key = QJsonDocument::fromJson('[' + json.mid(start, i - start + 1) + ']')
                                    .array()
                                    .at(0)
                                    .toString();
            if (top.keys.contains(key)) {
                return QStringLiteral("duplicate key \"%1\" %2").arg(key, top.where);
            }
            top.keys.insert(key);
            top.lastKey = key;
            top.expectKey = false;
        }
    }
    return {};
}

namespace {

// The ranges a value is checked against: a plan's, or those of the wire for an untouched
// record of a unit.
struct Ranges {
    qint64 carrierMax, gainMax, inputMin, inputMax;
    bool fromUnit;
};
constexpr Ranges PlanRanges{1, 1, InFreqMinMhz, InFreqMaxMhz, false};
constexpr Ranges WireRanges{255, 255, std::numeric_limits<std::int32_t>::min(),
                            std::numeric_limits<std::int32_t>::max(), true};

QString readChannels(const QJsonArray& channels, const Ranges& r, ChannelSettings& out) {
    for (int i = 0; i < ConverterCount; ++i) {
        const QString where = QStringLiteral("converter %1: ").arg(i + 1);
        if (i >= channels.size()) return where + QStringLiteral("missing");
        if (!channels[i].isObject()) {
            return where + QStringLiteral("must be an object, not %1").arg(typeName(channels[i]));
        }
        const QJsonObject o = channels[i].toObject();
        if (QString e = unknownKeys(
                o, {QStringLiteral("converter"), QStringLiteral("carrier"), QStringLiteral("sat"),
                    QStringLiteral("sat_code"), QStringLiteral("input_mhz"), QStringLiteral("gain"),
                    QStringLiteral("output_mhz"), QStringLiteral("input_lock"),
                    QStringLiteral("output_lock")});
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

        ChannelSetting& s = out[i];
        auto take = [&](const char* key, qint64 lo, qint64 hi, qint64* value) -> QString {
            auto v = wholeInRange(o, QLatin1String(key), lo, hi);
            if (auto* e = std::get_if<QString>(&v)) return where + *e;
            *value = std::get<qint64>(v);
            return {};
        };
        qint64 carrier = 0, sat = 0, input = 0, gain = 0;
        if (QString e = take("carrier", 0, r.carrierMax, &carrier); !e.isEmpty()) return e;

        // The SAT input: "sat" names the entry; a record of a unit keeps a code without an
        // entry as "sat_code".
        const bool hasCode = o.contains(QStringLiteral("sat_code"));
        if (hasCode && !r.fromUnit) {
            return where + QStringLiteral(
                               "\"sat_code\" is taken only from a record read from a unit and "
                               "not changed since; a plan gives \"sat\" 1 to 4");
        }
        if (hasCode) {
            if (const QJsonValue named = o.value(QStringLiteral("sat"));
                !named.isNull() && !named.isUndefined()) {
                return where + QStringLiteral("give \"sat\" or \"sat_code\", not both");
            }
            if (QString e = take("sat_code", 0, 255, &sat); !e.isEmpty()) return e;
        } else {
            if (QString e = take("sat", 1, SatInputs, &sat); !e.isEmpty()) return e;
            --sat;
        }
        if (QString e = take("input_mhz", r.inputMin, r.inputMax, &input); !e.isEmpty()) return e;
        if (QString e = take("gain", 0, r.gainMax, &gain); !e.isEmpty()) return e;
        s = {static_cast<std::uint8_t>(sat), static_cast<std::int32_t>(input),
             static_cast<std::uint8_t>(gain), static_cast<std::uint8_t>(carrier)};
    }
    return {};
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
    if (QString e = duplicateKey(json); !e.isEmpty()) return e;
    const QJsonObject root = doc.object();
    if (QString e =
            unknownKeys(root, {QStringLiteral("format"), QStringLiteral("source"),
                               QStringLiteral("settings_sha256"), QStringLiteral("confirmed"),
                               QStringLiteral("unit"), QStringLiteral("channels")});
        !e.isEmpty()) {
        return e;
    }
    if (const QJsonValue confirmed = root.value(QStringLiteral("confirmed"));
        !confirmed.isUndefined() && !confirmed.isBool()) {
        return QStringLiteral("\"confirmed\" must be true or false, not %1")
            .arg(typeName(confirmed));
    }
    const QJsonValue format = root.value(QStringLiteral("format"));
    if (!format.isDouble() || format.toDouble() != ProfileFormat) {
        return QStringLiteral("\"format\" must be %1, found %2")
            .arg(ProfileFormat)
            .arg(format.isDouble() ? numberText(format.toDouble()) : typeName(format));
    }
    const QJsonValue source = root.value(QStringLiteral("source"));
    if (!source.isUndefined() && source != QJsonValue(SourceUnit)) {
        return QStringLiteral("\"source\" must be \"unit\" (a record read from a unit), not %1")
            .arg(source.isString() ? source.toString() : typeName(source));
    }
    const QJsonValue digest = root.value(QStringLiteral("settings_sha256"));
    if (!digest.isUndefined() && !digest.isString()) {
        return QStringLiteral("\"settings_sha256\" must be text, not %1").arg(typeName(digest));
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
        if (unit.contains(QStringLiteral("serial"))) {
            auto serial = wholeInRange(unit, QStringLiteral("serial"),
                                       std::numeric_limits<std::int32_t>::min(),
                                       std::numeric_limits<std::int32_t>::max());
            if (auto* e = std::get_if<QString>(&serial)) return QStringLiteral("unit: ") + *e;
            profile.serial = static_cast<std::int32_t>(std::get<qint64>(serial));
        }
        profile.unitType = unit.value(QStringLiteral("type")).toString();
        profile.hwVersion = unit.value(QStringLiteral("hw")).toString();
        profile.swVersion = unit.value(QStringLiteral("sw")).toString();
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
    const bool claimsUnit = source.isString() && digest.isString();
    if (claimsUnit) {
        const QString e = readChannels(channels, WireRanges, profile.settings);
        if (e.isEmpty() && settingsDigest(profile.settings) == digest.toString()) {
            profile.fromUnit = true;
            return profile;
        }
    }
    // A plan, or a record of a unit that has been changed since it was read.
    if (QString e = readChannels(channels, PlanRanges, profile.settings); !e.isEmpty()) {
        if (claimsUnit) {
            e += QStringLiteral(
                " (the file was read from a unit and changed since, so it is "
                "checked as a plan)");
        }
        return e;
    }
    return profile;
}

namespace {
QString onOff(int v) {
    return v == 0 ? QStringLiteral("OFF") : v == 1 ? QStringLiteral("ON") : QString::number(v);
}
QString satText(int code) {
    return code >= 0 && code < SatInputs ? QStringLiteral("SAT %1").arg(code + 1)
                                         : QStringLiteral("SAT code %1").arg(code);
}
}  // namespace

QStringList diffPlan(const UnitImage& unit, const Profile& plan, const QString& planSide) {
    QStringList lines;
    for (int i = 0; i < ConverterCount; ++i) {
        const ChannelSetting& p = plan.settings[i];
        const QString head = QStringLiteral("Converter %1: ").arg(i + 1);
        auto differs = [&](const QString& what, const QString& onUnit, const QString& inPlan) {
            lines << head + what + onUnit + QStringLiteral(" on unit, ") + inPlan +
                         QLatin1Char(' ') + planSide;
        };
        if (unit.Carrier[i] != p.carrier)
            differs(QStringLiteral("carrier "), onOff(unit.Carrier[i]), onOff(p.carrier));
        if (unit.Polarisation[i] != p.polarisation)
            differs(QString(), satText(unit.Polarisation[i]), satText(p.polarisation));
        if (unit.InFreq[i] != p.inFreq) {
            differs(QStringLiteral("input "), QStringLiteral("%1 MHz").arg(unit.InFreq[i]),
                    QStringLiteral("%1 MHz").arg(p.inFreq));
        }
        if (unit.Gain[i] != p.gain)
            differs(QStringLiteral("gain "), onOff(unit.Gain[i]), onOff(p.gain));
    }
    return lines;
}

bool isUnusual(ChannelField field, int value) {
    return outsideReportedRange(field, value);
}

QStringList unusualValues(const UnitImage& unit) {
    QStringList lines;
    for (int i = 0; i < ConverterCount; ++i) {
        const QString head = QStringLiteral("converter %1: ").arg(i + 1);
        if (isUnusual(ChannelField::Carrier, unit.Carrier[i]))
            lines << head + QStringLiteral("carrier %1 (0 or 1)").arg(unit.Carrier[i]);
        if (isUnusual(ChannelField::Polarisation, unit.Polarisation[i]))
            lines << head + QStringLiteral("SAT code %1 (0 to 3)").arg(unit.Polarisation[i]);
        if (isUnusual(ChannelField::InFreq, unit.InFreq[i])) {
            lines << head + QStringLiteral("input %1 MHz (%2 to %3)")
                                .arg(unit.InFreq[i])
                                .arg(InFreqMinMhz)
                                .arg(InFreqMaxMhz);
        }
        if (isUnusual(ChannelField::Gain, unit.Gain[i]))
            lines << head + QStringLiteral("gain %1 (0 to 2)").arg(unit.Gain[i]);
    }
    return lines;
}

QString unitFileStem(const UnitImage& unit, const QDateTime& time) {
    return unitFileStem(unit.UnitType, unit.SerialNo) + QLatin1Char('-') +
           time.toString(QStringLiteral("yyyyMMdd-HHmmss"));
}

QString saveBackup(const QString& folder, const QByteArray& record, const UnitImage& unit,
                   QString* error) {
    if (!QDir().mkpath(folder)) {
        if (error) *error = QStringLiteral("cannot create the folder %1").arg(folder);
        return {};
    }
    const QString stem = unitFileStem(unit, QDateTime::currentDateTime());
    // The whole record goes to a temporary file first and only then gets its name: a backup is
    // never seen half written, and a failure (a full disk) leaves nothing behind.
    const QString written = writeTemporary(folder, record, error);
    if (written.isEmpty()) return {};
    // Two tools backing up units of one type and serial number in the same second (a fleet)
    // each get a name of their own.
    const QDir dir(folder);
    for (int k = 1; k <= 1000; ++k) {
        const QString path = k == 1 ? dir.filePath(stem + QStringLiteral(".json"))
                                    : dir.filePath(QStringLiteral("%1-%2.json").arg(stem).arg(k));
        QString why;
        if (nameWithoutReplacing(written, path, &why)) return path;
        if (!why.isEmpty()) {
            QFile::remove(written);
            if (error) *error = why;
            return {};
        }
    }
    QFile::remove(written);
    if (error) *error = QStringLiteral("no free name for %1 in %2").arg(stem, folder);
    return {};
}

QString unitFileStem(const QString& unitType, std::int32_t serial) {
    QString type = unitType;
    type.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9._-]+")), QStringLiteral("_"));
    return QStringLiteral("%1-%2").arg(type.isEmpty() ? QStringLiteral("unit") : type).arg(serial);
}

QString saveCheckedBackup(const QString& folder, const UnitImage& unit, const MemoryUnitView& view,
                          bool confirmed, QString* error) {
    const QByteArray record =
        QJsonDocument(unitToJson(unit, view, confirmed)).toJson(QJsonDocument::Indented);
    const QString path = saveBackup(folder, record, unit, error);
    if (path.isEmpty()) return {};
    // A backup that would not give the unit back what it holds is no backup.
    const auto reloaded = loadPlanFile(path);
    const auto* profile = std::get_if<Profile>(&reloaded);
    const ChannelSettings held = settingsOf(unit);
    bool same = profile && profile->fromUnit;
    for (int i = 0; same && i < ConverterCount; ++i) {
        const ChannelSetting &a = profile->settings[i], &b = held[i];
        same = a.polarisation == b.polarisation && a.inFreq == b.inFreq && a.gain == b.gain &&
               a.carrier == b.carrier;
    }
    if (same) return path;
    if (error) {
        *error = QStringLiteral("the backup %1 would not restore the unit as it is").arg(path);
        if (const auto* why = std::get_if<QString>(&reloaded))
            *error += QStringLiteral(": ") + *why;
    }
    return {};
}

QList<BackupFile> listBackups(const QString& folder, const QString& unitType, std::int32_t serial) {
    // TYPE-SERIAL-YYYYMMDD-HHMMSS.json, and -2, -3... for more than one in a second.
    const QRegularExpression name(QLatin1Char('^') +
                                  QRegularExpression::escape(unitFileStem(unitType, serial)) +
                                  QStringLiteral("-(\\d{8}-\\d{6})(?:-(\\d{1,4}))?\\.json$"));
    struct Found {
        BackupFile file;
        int again;
    };
    QList<Found> found;
    const QFileInfoList entries = QDir(folder).entryInfoList(
        {QStringLiteral("*.json")}, QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QFileInfo& info : entries) {
        const QRegularExpressionMatch m = name.match(info.fileName());
        if (!m.hasMatch() || !info.isFile()) continue;
        const QDateTime taken =
            QDateTime::fromString(m.captured(1), QStringLiteral("yyyyMMdd-HHmmss"));
        if (!taken.isValid()) continue;
        found.append(
            {{info.filePath(), taken}, m.captured(2).isEmpty() ? 1 : m.captured(2).toInt()});
    }
    std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
        return a.file.taken != b.file.taken ? a.file.taken > b.file.taken : a.again > b.again;
    });
    QList<BackupFile> out;
    for (const Found& f : found)
        out.append(f.file);
    return out;
}

std::variant<Profile, QString> loadPlanFile(const QString& path) {
    const QString name = QDir::toNativeSeparators(path);
    QString why;
    const auto data = readRegularFile(path, ProfileMaxBytes, &why);
    if (!data) return name + QStringLiteral(": ") + why;
    auto parsed = parseProfile(*data);
    if (auto* e = std::get_if<QString>(&parsed)) return name + QStringLiteral(": ") + *e;
    return parsed;
}

}  // namespace meridan::plan
