#pragma once

#include <QString>
#include <QTextStream>
#include <functional>
#include <memory>
#include <vector>

#include "headendmodel.h"
#include "tcpserver.h"

namespace meridan::sim {

// meridan-headend-sim --tcp: what the command line asked for.
struct TcpOptions {
    QString listen;  // [HOST:]PORT
    bool telnet = false;
    QString units;     // N, or empty for one
    QString stateDir;  // unit K keeps its settings in DIR/unit-K.json
    QString state;     // the one unit's state file
    QString firmwareOut;
    QString dropAt;
    bool verbose = false;
};

// Sets up one unit: its state file and where its firmware images go. False after a message.
using UnitSetUp =
    std::function<bool(HeadendModel& model, const QString& statePath, const QString& firmwarePath)>;

// The units served, each on a port of its own.
struct TcpUnits {
    std::vector<std::unique_ptr<HeadendModel>> models;
    std::vector<std::unique_ptr<TcpServer>> servers;
    ~TcpUnits() { servers.clear(); }
};

// N units on N consecutive TCP ports (each on a free port of its own when PORT is 0); prints
// each unit's address on a line of `out`. Null, with a message on `err` and the exit code in
// `code`, when they cannot be served.
std::unique_ptr<TcpUnits> startTcpUnits(const TcpOptions& options, const UnitSetUp& setUp,
                                        QTextStream& out, QTextStream& err, int* code);

}  // namespace meridan::sim
