#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QTextStream>

#include "fleetrun.h"

namespace meridan::cli {

// The fleet's exit code: 128 + the signal that interrupted it; else 1 when any unit failed, was
// interrupted or not run, whatever the order of the inventory; else 4 when any differs; else 0.
int fleetExitCode(const FleetRun& fleet);

// The table of every unit at the end: its result, time and what differed or failed, and the
// counts by result.
void printSummary(const FleetRun& fleet, QTextStream& out);

// Everything of the run for scripts: the command, the inventory, when and how long, the exit
// code, counts by result, and per unit what it did and found.
QJsonObject reportOf(const FleetRun& fleet, const QString& verb, const QString& inventory,
                     const QDateTime& started, int exitCode);

}  // namespace meridan::cli
