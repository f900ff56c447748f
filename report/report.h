#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <optional>

#include "protocol/unitimage.h"

namespace meridan::report {

// The firmware image last sent to a module, as the update reported it.
struct FirmwareSent {
    QString name;       // file name, without its folder
    qint64 size = 0;    // bytes
    QByteArray sha256;  // digest of the bytes sent, raw
    QString result;     // "Update Successful", "Update Error: ..."
};

// What the installer hands over at the end of a job: the unit as read, and what was done to it.
struct Commissioning {
    UnitImage unit;
    QString port;      // "Com3 (/dev/ttyUSB0)", "tcp://cabinet-3.example:4001"
    QDateTime readAt;  // when the values in the table were read from the unit
    QString program;   // "Meridan Converter V1.0.0"
    // The last Save of this run: "Saved and verified 12:03:07", "Converter 7: input 1274 MHz
    // on the unit, 1300 sent"; empty when nothing was saved. A line each (at most five are
    // printed).
    QString lastSave;
    QString backupFile;  // the backup taken before that Save, empty when none
    std::optional<FirmwareSent> firmware;
    QString installer, site, notes;
};

// Texts of one converter's row, as the report prints them: carrier, SAT input, input MHz,
// gain, output MHz, input lock, output lock. A value a unit should not report is printed as
// it came ("code 5", "2").
QStringList rowTexts(const UnitImage& unit, int converter);

// Writes the report as a one-page A4 PDF. The file appears only once it is complete; on
// failure `error` gets the reason and nothing is left at `path`.
bool writePdf(const QString& path, const Commissioning& report, QString* error);

}  // namespace meridan::report
