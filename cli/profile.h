#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <array>
#include <optional>
#include <variant>

#include "protocol/unitimage.h"
#include "protocol/unitview.h"

namespace meridan::cli {

// A channel plan as it is kept in a file:
//   {"format": 1,
//    "unit": {"type": ..., "hw": ..., "sw": ..., "serial": ...},
//    "channels": [ {"converter": 1, "carrier": 0|1, "sat": 1..4, "input_mhz": 950..2150,
//                   "gain": 0|1, "output_mhz": "474", "input_lock": "Locked",
//                   "output_lock": "Locked"}, ... 12 entries ]}
// output_mhz and the lock states are what the unit showed when it was read; they are not
// written to a unit.
constexpr int ProfileFormat = 1;
constexpr int InputMhzMin = 950;
constexpr int InputMhzMax = 2150;

struct ProfileChannel {
    int carrier = 0;
    int sat = 1;  // 1..4, the entry "SAT n"
    int inputMhz = 0;
    int gain = 0;
};

struct Profile {
    QString unitType, hwVersion, swVersion;
    std::optional<qint64> serial;
    std::array<ProfileChannel, ConverterCount> channels{};
};

// The unit as read: the image plus what the view shows (SAT selection, lock texts).
QJsonObject unitToJson(const UnitImage& unit, const MemoryUnitView& view);

// Checks a whole file. On error the text names the field ("converter 3: \"input_mhz\" ...").
std::variant<Profile, QString> parseProfile(const QByteArray& json);

// Puts the plan into a view, as if typed into the window's controls.
void applyProfile(const Profile& profile, MemoryUnitView& view);

// One line per field in which the unit as read differs from the plan:
// "Converter 3: input 1200 MHz on unit, 1250 MHz in profile". `planSide` names the plan
// ("in profile", "written").
QStringList diffPlan(const UnitImage& unit, const MemoryUnitView& view, const Profile& plan,
                     const QString& planSide);

// Saves the unit as read as a profile in `folder` (created if needed), named after the unit
// and the time. Returns the file's path, or an empty string and the reason.
QString saveBackup(const QString& folder, const UnitImage& unit, const MemoryUnitView& view,
                   QString* error);

}  // namespace meridan::cli
