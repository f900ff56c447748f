#pragma once

#include <QTextStream>

// meridan-bench --fleet N: N paced simulated units over TCP, read at once with meridan-cli
// fleet, against one unit's read.
int fleetBench(int units, QTextStream& out);
