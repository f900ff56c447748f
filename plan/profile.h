#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <optional>
#include <variant>

#include "protocol/sequences.h"
#include "protocol/unitimage.h"
#include "protocol/unitview.h"

namespace meridan::plan {

// A channel plan as it is kept in a file:
//   {"format": 1,
//    "unit": {"type": ..., "hw": ..., "sw": ..., "serial": ...},
//    "channels": [ {"converter": 1, "carrier": 0|1, "sat": 1..4, "input_mhz": 950..2150,
//                   "gain": 0|1, "output_mhz": "474", "input_lock": "Locked",
//                   "output_lock": "Locked"}, ... 12 entries ]}
// output_mhz and the lock states are what the unit showed when it was read; they are not
// written to a unit.
//
// What `read --json` prints, and every backup, is a record of the unit: it also holds
//   "source": "unit", "settings_sha256": digest of the 48 settable values as read,
// and every settable value exactly as the unit reported it, also where a plan could not hold
// it (carrier 2, gain 3, input 3000 MHz; a SAT code without an entry as "sat": null,
// "sat_code": 5). While the values still match the digest the record is written back exactly;
// once edited it is a plan like any other and is checked against the plan ranges.
constexpr int ProfileFormat = 1;

struct Profile {
    QString unitType, hwVersion, swVersion;
    std::optional<std::int32_t> serial;
    // What goes to the unit: SAT code (0..3 = "SAT 1".."SAT 4"), MHz, gain, carrier.
    ChannelSettings settings{};
    // An untouched record of a unit: its values go back exactly as the unit reported them.
    bool fromUnit = false;
};

// The unit as read: the image plus what the view shows (output frequency, lock texts).
// "confirmed": every value of it was read twice and agreed (--confirm).
QJsonObject unitToJson(const UnitImage& unit, const MemoryUnitView& view, bool confirmed = false);

// The first key that appears twice in one object of valid JSON, as "duplicate key "port" at
// the top level, item 2"; empty when there is none.
QString duplicateKey(const QByteArray& json);

// Checks a whole file. On error the text names the field ("converter 3: \"input_mhz\" ...").
std::variant<Profile, QString> parseProfile(const QByteArray& json);

// The settable values of the unit as read.
ChannelSettings settingsOf(const UnitImage& unit);

// One line per field in which the unit as read differs from the plan:
// "Converter 3: input 1200 MHz on unit, 1250 MHz in profile". `planSide` names the plan
// ("in profile", "written").
QStringList diffPlan(const UnitImage& unit, const Profile& plan, const QString& planSide);

// Values outside what a unit reports (input 950-2150 MHz, SAT code 0-3, carrier 0-1, gain
// 0-2): line noise or a fault. "converter 3: input 3000 MHz (950 to 2150)".
QStringList unusualValues(const UnitImage& unit);
bool isUnusual(ChannelField field, int value);

// The name a file about the unit takes, without its extension: its type (characters a file
// name should not hold made "_"), serial number and the time: "MC_1200-10423-20260314-120307".
QString unitFileStem(const UnitImage& unit, const QDateTime& time);

// Saves `record`, the unit as read, as a backup in `folder`, named after the unit and the
// time, never over another file. Returns the file's path, or an empty string and the reason
// (the system's: "No space left on device"); nothing is left behind then.
QString saveBackup(const QString& folder, const QByteArray& record, const UnitImage& unit,
                   QString* error);

// What the names of a unit's backups begin with: its type (anything but letters, digits, ".",
// "_" and "-" made "_") and serial number, "MC_1200-10423". Reports are named the same way.
QString unitFileStem(const QString& unitType, std::int32_t serial);

// Saves the unit as read (a record of `unit` and `view`) as a backup in `folder`, then loads
// the file back as a write would: its path once it would restore the unit exactly, or an empty
// string and the reason.
QString saveCheckedBackup(const QString& folder, const UnitImage& unit, const MemoryUnitView& view,
                          bool confirmed, QString* error);

struct BackupFile {
    QString path;
    QDateTime taken;  // from its name
};
// The backups of one unit (type and serial number) in `folder`, newest first.
QList<BackupFile> listBackups(const QString& folder, const QString& unitType, std::int32_t serial);

// Reads a plan or record file and checks it as a write does: the profile, or the reason
// naming the file ("plan.json: converter 3: \"input_mhz\" 3000 is out of range (950 to
// 2150)").
std::variant<Profile, QString> loadPlanFile(const QString& path);

}  // namespace meridan::plan
