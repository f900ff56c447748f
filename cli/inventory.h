#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <variant>

namespace meridan::cli {

// An inventory holds at most this many units.
constexpr int FleetMaxUnits = 1000;

// One unit of an inventory.
struct FleetUnit {
    QString name;
    QString port;     // Com5, /dev/ttyUSB0, tcp://HOST:PORT, rfc2217://HOST:PORT
    QString profile;  // absolute path, or empty
    QString image;    // absolute path, or empty
    QString where;    // "line 4", "unit 3": where the unit is in the file, for messages
};

// An inventory is CSV, a header line naming the columns (name and port, profile and image
// optional, in any order) and a line per unit:
//   name,port,profile,image
//   cabinet-3,tcp://cabinet-3.example:4001,plans/roof.json,
// (fields may be quoted as "a,b"; blank lines and lines starting with # are skipped), or JSON,
// a list of objects with those keys:
//   [{"name": "cabinet-3", "port": "tcp://cabinet-3.example:4001", "profile": "plans/roof.json"}]
// A relative file path is taken from the inventory's folder. Returns the units, or why the
// text is not an inventory (naming the line or the unit).
std::variant<QList<FleetUnit>, QString> parseInventory(const QByteArray& text,
                                                       const QString& folder);

// "cabinet-3 (line 4)", for messages.
QString describeUnit(const FleetUnit& unit);

}  // namespace meridan::cli
