#pragma once

#include <QTextStream>

// meridan-bench --phones: the lock monitor on the paced simulator with moving locks, served
// to eight phones: how long a lock change takes to reach them, and the monitor's rate.
int phonesBench(QTextStream& out);
