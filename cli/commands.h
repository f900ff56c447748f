#pragma once

#include <QString>
#include <QTextStream>
#include <functional>
#include <optional>

#include "messagesink.h"
#include "monitorcommand.h"
#include "unitresult.h"

namespace meridan::cli {

// One run of the single-unit tool, its arguments checked for form.
struct Request {
    QString command;  // ports, read, diff, write, flash, monitor
    bool portGiven = false;
    QString port;       // --port as given; not given: the port the program stored
    QString file;       // diff, write: the profile; flash: the image
    QString trace;      // --trace FILE
    QString pdf;        // read --pdf FILE: the commissioning report
    bool json = false;  // read: the record instead of the table
    bool print = true;  // read: print the unit at all (a unit of a fleet hands its record over)
    bool confirm = false;
    bool dryRun = false;
    bool backup = true;
    QString backupDir;  // empty: the default folder
    std::optional<MonitorOptions> monitor;
    QString commandLine;  // for the trace's first line
};

// Where a run's words go. A unit of a fleet prints nothing: what it says, its output and its
// progress become events for the fleet (`eventFd`).
struct Streams {
    QTextStream& out;
    QTextStream& err;  // usage, the monitor's lines, a redrawn progress line
    Voice& voice;
    bool terminal = false;  // stderr is a terminal: the progress line is redrawn
    std::function<void(const QString&)> progress;  // a unit of a fleet: a flash's progress
    int eventFd = -1;  // a unit of a fleet: where its last words go when stopped at once
};

// Runs the request: checks every file it reads before the port is touched, then talks to the
// unit. Returns the exit code; `outcome` gets what a program needs of the run.
int execute(const Request& request, Streams& streams, UnitOutcome& outcome);

}  // namespace meridan::cli
