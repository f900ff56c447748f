#pragma once

#include <QStringList>
#include <QTextStream>

namespace meridan::cli {

enum ExitCode {
    ExitOk = 0,
    ExitLinkFailure = 1,
    ExitBadInput = 2,
    ExitPortUnavailable = 3,
    ExitDifferences = 4,
};

// The whole command-line tool: its arguments (without the program name) parsed and checked,
// then the command run.
int runCli(const QStringList& arguments, QTextStream& out, QTextStream& err);

// Whether the arguments ask for a commissioning report (read --pdf, fleet read --pdf-dir),
// which needs fonts: the tool then starts as a program with a (screenless) display.
bool wantsReport(const QStringList& arguments);

}  // namespace meridan::cli
