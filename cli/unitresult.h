#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <optional>

#include "protocol/unitimage.h"

namespace meridan::cli {

// How one unit's command ended, as the fleet counts it.
enum class UnitResult { Ok, Differs, Failed, Interrupted, NotRun };

// "ok", "differs", "failed", "interrupted", "not run".
QString resultName(UnitResult result);
// The result of a single-unit command that ended with `exitCode`: 0 done, 4 differences (or
// values outside the range a unit reports), 128 + a signal interrupted, anything else failed.
UnitResult resultOfExitCode(int exitCode);

// What a single-unit command found, for a program to use (the fleet's report) rather than for a
// person to read.
struct UnitOutcome {
    int exitCode = -1;
    QJsonObject record;       // read: the unit as read, as read --json prints it
    QStringList unusual;      // values outside the range a unit reports, as read
    QStringList differences;  // diff: each difference; write: each field the unit did not take
    QString backup;           // write: the backup taken before the first set command
    QString summary;          // flash: what was sent, in how long
    QString pdf;              // the commissioning report written
    std::optional<UnitImage> unit;  // the unit as read (stays in the process)
    QDateTime readAt;               // when it was read
    QString port;                   // the port as a report names it (stays in the process)
};

QJsonObject outcomeToJson(const UnitOutcome& outcome);
UnitOutcome outcomeFromJson(const QJsonObject& json);

// A unit of a fleet tells the fleet what happens as a line of JSON per event, with one key:
//   {"said": "the unit could not be read for the backup; nothing was written"}
//   {"output": "Written and stored: 12 converters.\n"}
//   {"progress": " 50%  sector 1/2  block 4  5760 B/s"}
//   {"outcome": {...}}                       the last line
QByteArray eventLine(const char* kind, const QJsonValue& value);

// Splits what comes from a unit into its events; a line that is not an event (a unit that
// crashed in the middle of one) is handed over as text said.
class EventReader {
  public:
    struct Event {
        QString kind;
        QJsonValue value;
    };
    // The complete events in what has come so far, `bytes` included.
    QList<Event> feed(const QByteArray& bytes);
    // What is left when the unit has closed its end.
    QList<Event> finish();

  private:
    QList<Event> takeLine(const QByteArray& line);
    QByteArray pending_;
};

}  // namespace meridan::cli
