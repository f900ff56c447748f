#include "inventory.h"

#include <QDir>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringDecoder>
#include <QStringList>

#include "link/portmap.h"
#include "link/tcpport.h"
#include "plan/profile.h"

namespace meridan::cli {

using namespace meridan::plan;

namespace {

const QStringList Columns{QStringLiteral("name"), QStringLiteral("port"), QStringLiteral("profile"),
                          QStringLiteral("image")};

struct Record {
    int line = 0;
    QStringList fields;
};

// CSV records: fields split at commas, records at line ends. A field in double quotes may
// hold commas and line ends, and "" for a quote. Unquoted fields are trimmed.
std::variant<QList<Record>, QString> splitCsv(const QString& text) {
    QList<Record> records;
    Record current{1, {}};
    QString field;
    bool inQuotes = false;
    bool quoted = false;
    int line = 1;
    int quoteLine = 0;
    auto endField = [&] {
        current.fields << (quoted ? field : field.trimmed());
        field.clear();
        quoted = false;
    };
    auto endRecord = [&] {
        endField();
        const bool blank = current.fields.size() == 1 && current.fields[0].isEmpty();
        const bool comment = current.fields[0].startsWith(QLatin1Char('#'));
        if (!blank && !comment) records << current;
        current = Record{line, {}};
    };
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (inQuotes) {
            if (c == QLatin1Char('"')) {
                if (i + 1 < text.size() && text[i + 1] == QLatin1Char('"')) {
                    field += c;
                    ++i;
                } else {
                    inQuotes = false;
                }
            } else {
                if (c == QLatin1Char('\n')) ++line;
                field += c;
            }
        } else if (c == QLatin1Char('"')) {
            if (quoted || !field.trimmed().isEmpty()) {
                return QStringLiteral("line %1: a quote inside a field (quote the whole field)")
                    .arg(line);
            }
            field.clear();
            inQuotes = quoted = true;
            quoteLine = line;
        } else if (c == QLatin1Char(',')) {
            endField();
        } else if (c == QLatin1Char('\n')) {
            ++line;
            endRecord();
        } else if (c != QLatin1Char('\r')) {
            if (quoted && !c.isSpace()) {
                return QStringLiteral("line %1: text after a closing quote").arg(line);
            }
            if (!quoted) field += c;
        }
    }
    if (inQuotes) return QStringLiteral("line %1: a quoted field is not closed").arg(quoteLine);
    endRecord();
    return records;
}

std::variant<QList<FleetUnit>, QString> csvUnits(const QString& text) {
    auto split = splitCsv(text);
    if (auto* e = std::get_if<QString>(&split)) return *e;
    const QList<Record>& records = std::get<QList<Record>>(split);
    if (records.isEmpty()) return QStringLiteral("lists no unit");
    QStringList header;
    for (const QString& f : records[0].fields)
        header << f.toLower();
    for (const QString& h : header) {
        if (!Columns.contains(h)) {
            return QStringLiteral(
                       "line %1: unknown column \"%2\" (the header names the columns "
                       "name, port, profile, image)")
                .arg(records[0].line)
                .arg(h);
        }
        if (header.count(h) > 1)
            return QStringLiteral("line %1: column \"%2\" twice").arg(records[0].line).arg(h);
    }
    if (!header.contains(QStringLiteral("name")) || !header.contains(QStringLiteral("port"))) {
        return QStringLiteral(
                   "line %1: the header must name the columns name and port (profile and image "
                   "are optional): name,port,profile,image")
            .arg(records[0].line);
    }
    QList<FleetUnit> units;
    for (qsizetype r = 1; r < records.size(); ++r) {
        const Record& rec = records[r];
        if (rec.fields.size() != header.size()) {
            return QStringLiteral("line %1: %2 fields, the header has %3")
                .arg(rec.line)
                .arg(rec.fields.size())
                .arg(header.size());
        }
        FleetUnit u;
        u.where = QStringLiteral("line %1").arg(rec.line);
        for (qsizetype k = 0; k < header.size(); ++k) {
            const QString& h = header[k];
            QString& target = h == QLatin1String("name")      ? u.name
                              : h == QLatin1String("port")    ? u.port
                              : h == QLatin1String("profile") ? u.profile
                                                              : u.image;
            target = rec.fields[k];
        }
        units << u;
    }
    return units;
}

std::variant<QList<FleetUnit>, QString> jsonUnits(const QByteArray& text) {
    QJsonParseError e{};
    const QJsonDocument doc = QJsonDocument::fromJson(text, &e);
    if (e.error != QJsonParseError::NoError) {
        return QStringLiteral("not valid JSON (%1 at byte %2)").arg(e.errorString()).arg(e.offset);
    }
    if (const QString dup = duplicateKey(text); !dup.isEmpty()) return dup;
    if (!doc.isArray()) {
        return QStringLiteral(
            "a JSON inventory is a list of units: [{\"name\": ..., \"port\": ...}, ...]");
    }
    QList<FleetUnit> units;
    const QJsonArray list = doc.array();
    for (qsizetype i = 0; i < list.size(); ++i) {
        const QString where = QStringLiteral("unit %1").arg(i + 1);
        if (!list[i].isObject()) return where + QStringLiteral(": not an object");
        const QJsonObject o = list[i].toObject();
        FleetUnit u;
        u.where = where;
        for (auto it = o.begin(); it != o.end(); ++it) {
            if (!Columns.contains(it.key())) {
                return QStringLiteral(
                           "%1: unknown key \"%2\" (the keys are name, port, profile, "
                           "image)")
                    .arg(where, it.key());
            }
            if (!it.value().isString()) {
                return QStringLiteral("%1: \"%2\" must be a string").arg(where, it.key());
            }
        }
        u.name = o.value(QStringLiteral("name")).toString().trimmed();
        u.port = o.value(QStringLiteral("port")).toString().trimmed();
        u.profile = o.value(QStringLiteral("profile")).toString().trimmed();
        u.image = o.value(QStringLiteral("image")).toString().trimmed();
        units << u;
    }
    return units;
}

// A port as --port takes it, or why it is not one.
QString portProblem(const QString& port) {
    if (port.isEmpty()) return QStringLiteral("no port");
    if (hasControlCharacter(port)) return QStringLiteral("a port with a control character");
    if (parseComName(port) > 0) return {};
    if (isNetworkAddress(port)) {
        QString why;
        if (!parseNetworkAddress(port, &why))
            return QStringLiteral("port \"%1\": %2").arg(port, why);
        return {};
    }
    if (!port.contains(QLatin1Char('/'))) {
        return QStringLiteral(
                   "port \"%1\" is not Com1 to Com15, a device path, tcp://HOST:PORT or "
                   "rfc2217://HOST:PORT")
            .arg(port);
    }
    return {};
}

}  // namespace

QString describeUnit(const FleetUnit& u) {
    return u.name.isEmpty() ? u.where : QStringLiteral("%1 (%2)").arg(u.name, u.where);
}

std::variant<QList<FleetUnit>, QString> parseInventory(const QByteArray& bytes,
                                                       const QString& folder) {
    QByteArray text = bytes;
    if (text.startsWith("\xEF\xBB\xBF")) text.remove(0, 3);
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString decoded = utf8.decode(text);
    if (utf8.hasError()) return QStringLiteral("is not UTF-8 text");
    const QString start = decoded.trimmed();
    auto parsed = start.startsWith(QLatin1Char('[')) || start.startsWith(QLatin1Char('{'))
                      ? jsonUnits(text)
                      : csvUnits(decoded);
    if (auto* e = std::get_if<QString>(&parsed)) return *e;
    QList<FleetUnit> units = std::get<QList<FleetUnit>>(parsed);
    if (units.isEmpty()) return QStringLiteral("lists no unit");
    if (units.size() > FleetMaxUnits) {
        return QStringLiteral("lists %1 units, more than %2").arg(units.size()).arg(FleetMaxUnits);
    }
    QHash<QString, QString> names;
    for (FleetUnit& u : units) {
        if (u.name.isEmpty()) return u.where + QStringLiteral(": no name");
        if (hasControlCharacter(u.name))
            return u.where + QStringLiteral(": a name with a control character");
        if (names.contains(u.name)) {
            return QStringLiteral("%1: the name \"%2\" is taken by %3 already")
                .arg(u.where, u.name, names.value(u.name));
        }
        names.insert(u.name, u.where);
        if (const QString why = portProblem(u.port); !why.isEmpty())
            return QStringLiteral("%1: %2").arg(describeUnit(u), why);
        for (QString* path : {&u.profile, &u.image}) {
            if (path->isEmpty()) continue;
            if (hasControlCharacter(*path))
                return describeUnit(u) + QStringLiteral(": a file path with a control character");
            *path = QDir::cleanPath(QDir(folder).absoluteFilePath(*path));
        }
    }
    return units;
}

}  // namespace meridan::cli
