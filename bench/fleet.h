#pragma once

#include <QList>
#include <QTextStream>

// meridan-bench --fleet 1/10/50/200: for each number of units, that many paced simulated units
// over TCP read at once with meridan-cli fleet, against one unit's read: wall time, CPU per
// unit, peak memory.
int fleetBench(const QList<int>& sizes, QTextStream& out);
