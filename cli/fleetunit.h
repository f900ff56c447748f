#pragma once

#include <QString>

#include "commands.h"

namespace meridan::cli {

// The life of a unit of a fleet, in its own process (a copy of the fleet's): runs `request` on
// a thread and event loop of its own, tells the fleet what it says, prints and finds as events
// on `eventFd`, writes the unit's commissioning report into `pdfDir` (when given and the unit
// was read), and ends the process with the command's exit code.
[[noreturn]] void runAsUnit(const Request& request, int eventFd, const QString& pdfDir);

}  // namespace meridan::cli
