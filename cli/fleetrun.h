#pragma once

#include <QElapsedTimer>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTextStream>
#include <memory>
#include <optional>
#include <vector>

#include "commands.h"
#include "inventory.h"
#include "signalpipe.h"
#include "unitresult.h"

namespace meridan::cli {

// One unit of a fleet: what it is to do, and how it went.
struct UnitRun {
    enum class Phase { Waiting, Running, Done };

    FleetUnit unit;
    Request request;
    Phase phase = Phase::Waiting;
    UnitResult result = UnitResult::NotRun;
    int exitCode = -1;
    double start = 0;
    double seconds = 0;
    std::optional<UnitOutcome> outcome;  // what the unit's command found, when it said it
    QStringList said;                    // what it said, line by line
    QString output;
    bool outputTruncated = false;
    QString progress;
    QString detail;  // a line for the table: what differed, why it failed

    // While it runs: its process and the pipe its events come through.
    pid_t pid = 0;
    int events = -1;
    std::unique_ptr<QSocketNotifier> notifier;
    EventReader reader;
    bool ended = false;             // the pipe is closed: the process has ended
    std::optional<int> waitStatus;  // the process has been waited for
    bool killed = false;            // stopped by SIGKILL from the fleet
};

// Runs the units of a fleet, each in a process of its own: a copy of this one made with fork(),
// which runs the single-unit command on its own thread and event loop and tells the fleet what
// happens as events on a pipe (no program of its own to start and load, so a unit costs about
// a millisecond to start). A unit that crashes or hangs takes no other unit, nor the fleet,
// with it. At most `slots()` units run at once; the others wait for one to end.
//
// Signals: the first Ctrl+C, SIGTERM or SIGHUP is passed on to every running unit, which
// finishes the exchange in progress and ends its communication; units not started are left
// out. A second Ctrl+C or SIGTERM is passed on too (the units stop at once), a third stops
// them with SIGKILL; a hang-up comes as more than one SIGHUP (from the terminal and from the
// shell) and counts once. The fleet itself always ends with its report. A unit whose fleet
// ends without it gets SIGHUP.
class FleetRun {
  public:
    // `pdfDir`: read writes each unit's commissioning report there. `signals` delivers
    // SIGINT, SIGTERM, SIGHUP and SIGCHLD; `earlySignal` is one that came before the run.
    FleetRun(QString verb, std::vector<std::unique_ptr<UnitRun>> runs, int jobs, QString pdfDir,
             SignalPipe& signals, int earlySignal, QTextStream& out, QTextStream& err,
             bool terminal);
    ~FleetRun();
    FleetRun(const FleetRun&) = delete;
    FleetRun& operator=(const FleetRun&) = delete;

    // Runs every unit; returns when the last has ended.
    void run();

    // The first signal that came, 0 while none did.
    int interruptedBy() const { return firstSignal_; }
    double seconds() const { return double(clock_.nsecsElapsed()) / 1e9; }
    const std::vector<std::unique_ptr<UnitRun>>& runs() const { return runs_; }
    // Units at a time, and what bounds them ("--jobs", "the open-file limit (ulimit -n 64)").
    int slots() const { return slots_; }
    QString slotsBound() const { return slotsBound_; }

  private:
    void onSignal(int sig);
    void interrupt(int sig);
    void startMore();
    bool start(UnitRun& r);
    [[noreturn]] void becomeUnit(UnitRun& r, int eventFd);
    void readEvents(UnitRun& r);
    void take(UnitRun& r, const QList<EventReader::Event>& events);
    void reap();
    void finishIfEnded(UnitRun& r);
    void classify(UnitRun& r);
    QString stateText(const UnitRun& r) const;
    void draw();

    QString verb_;
    std::vector<std::unique_ptr<UnitRun>> runs_;
    QString pdfDir_;
    QTextStream& out_;
    QTextStream& err_;
    bool terminal_;
    SignalPipe& signals_;
    QEventLoop loop_;
    QElapsedTimer clock_;
    int slots_ = 1;
    QString slotsBound_;
    int running_ = 0;
    bool startBlocked_ = false;  // the system refused a process: wait for a unit to end
    int drawn_ = 0;
    int firstSignal_ = 0;
    int escalation_ = 0;
    pid_t fleetPid_ = 0;
};

// How many units may run at once, `jobs` at most: each running unit holds one file handle of
// the fleet (its pipe) and about UnitMemoryBytes of memory. `bound` names what bounds it.
int unitSlots(int jobs, QString* bound);

// What a unit's process takes of memory of its own, with room to spare: about 0.4 MiB (its
// 9 MiB resident are mostly the pages it shares with the fleet; meridan-bench --fleet).
constexpr qint64 UnitMemoryBytes = 2 * 1024 * 1024;

}  // namespace meridan::cli
