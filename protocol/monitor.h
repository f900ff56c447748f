#pragma once

#include <QString>
#include <array>
#include <cstdint>
#include <deque>
#include <optional>

#include "link/link.h"
#include "readcheck.h"
#include "unitimage.h"
#include "unitview.h"

namespace meridan {

// What the lock monitor reads in each round.
struct MonitorChoice {
    int converter = -1;       // -1: all twelve converters, both locks; 0..11: that converter
    bool outputLock = false;  // one converter: its output lock too (all twelve: always)

    bool all() const { return converter < 0; }
    bool reads(int channel, LockSide side) const;
};

using LockValues = std::array<std::optional<std::uint8_t>, ConverterCount>;

// One complete round of lock reads.
struct MonitorRound {
    long number = 0;   // 1 for the first round of a run
    double time = 0;   // on the link's clock, when the round's last answer came
    double rate = 0;   // rounds per second lately; 0 until two rounds have been timed
    LockValues input;  // what this round read (nothing for a lock it does not read)
    LockValues output;
    LockValues inputBefore;  // the reading before, in this run (nothing before the first)
    LockValues outputBefore;

    const LockValues& values(LockSide side) const {
        return side == LockSide::Input ? input : output;
    }
    // Read in this round and different from the reading before.
    bool changed(int channel, LockSide side) const;
};

struct MonitorOutcome;

// Told what the monitor sees, as it happens.
class MonitorObserver {
  public:
    virtual ~MonitorObserver() = default;
    // A run begins (before its first connection request).
    virtual void started(const MonitorChoice& choice) { (void)choice; }
    // The unit's type and serial number, read once after the first connection when asked for.
    virtual void identified(const QString& type, std::int32_t serial) {
        (void)type;
        (void)serial;
    }
    virtual void round(const MonitorRound& round) = 0;
    // The unit has stopped answering; `since` is the time of its last answer (link clock).
    // Connection requests follow until it answers one.
    virtual void silent(double since) { (void)since; }
    // The unit answered a connection request again; rounds follow.
    virtual void reconnected() {}
    // The run is over: the end command has been sent (when one was due).
    virtual void finished(const MonitorOutcome& outcome) { (void)outcome; }
};

enum class MonitorEnd {
    Done,          // the rounds asked for were read
    Stopped,       // stopped on request
    NoConnection,  // the unit did not answer the first connection request (reported)
    Failed,        // no port open (reported)
    PortLost,      // the port went away (reported once, by the link's own reporter)
    Aborted,       // the window or the program is closing: nothing more was sent
};

struct MonitorOutcome {
    MonitorEnd end = MonitorEnd::Failed;
    long rounds = 0;
    // A connection was open at the end, so the end command was due; and it was answered.
    bool connected = false;
    bool ended = false;
};

// The live lock monitor, for aligning a dish: one connection request, then rounds of lock
// reads (26 input lock, 29 output lock: code and converter index, the value, "N", "EN") over
// the chosen converters, back to back as fast as the line carries them, until stopped; then
// the end command. It sends no set or store command.
//
// While it runs, a unit that stops answering is the monitor's own business: its observer is
// told "silent since", and connection requests go out until the unit answers again; no
// message box for each time-out. Every other failure of the link (a port that vanishes, an
// overrun) goes to the link's own reporter as usual.
//
// A wait that the program itself held up (something kept the message loop busy for longer
// than the unit has to answer) ends in a time-out with the unit's answer already received:
// that is not the unit's silence. The monitor connects again and goes on; only if the unit
// then does not answer is it silent.
class LockMonitor final : private LinkReporter {
  public:
    LockMonitor(Link& link, MonitorObserver& observer);

    // Runs until stopped, or until `rounds` rounds have been read (0: no limit).
    MonitorOutcome run(const MonitorChoice& choice, long rounds = 0);
    // The exchange in progress is completed, then the end command goes out and run()
    // returns. While the monitor waits for the unit to answer a connection request there is
    // no connection to end: the wait ends at once. Link::requestStop() stops it the same way.
    void stop();
    bool running() const { return running_; }
    // A second observer, told all the first one is (nullptr: none). Set between runs.
    void setWatcher(MonitorObserver* watcher) { watcher_ = watcher; }
    // Whether a run reads the unit's type (48) and serial number (21) once, after its first
    // connection request and before its first round. Off unless set.
    void setIdentify(bool identify) { identify_ = identify; }
    // Every lock value read twice, a pair that differs read again until two agree (at most
    // three more); a value whose reads never agree is left out of its round.
    void setConfirm(bool confirm) { check_.confirmAll = confirm; }
    long repeatedReads() const { return check_.repeatedReads; }
    long unsettledValues() const { return unsettled_; }

  private:
    void report(const LinkFailure& failure) override;
    bool stopping() const { return stop_ || link_.stopRequested(); }
    // Connection requests until the unit answers (false: stopped, aborted, or, when `once`,
    // the first 50 s of requests unanswered). With `silenceUntold` set, the first 50 s
    // unanswered tell the observer the unit is silent, and clear it.
    bool connect(bool once, bool* silenceUntold = nullptr);
    enum class Step { Complete, Stopped, Failed };
    // One round: complete, stopped between two exchanges, or an exchange failed.
    Step readRound(const MonitorChoice& choice, MonitorRound& round);
    double rate(double now);
    Step readIdentity();
    template <typename Tell>
    void tell(Tell tell) {
        tell(observer_);
        if (watcher_) tell(*watcher_);
    }

    Link& link_;
    MonitorObserver& observer_;
    MonitorObserver* watcher_ = nullptr;
    LinkReporter* programReporter_ = nullptr;
    std::optional<LinkError> lastFailure_;
    // The last time-out came with bytes from the unit in ReplyBuffer: it had answered.
    bool answeredBeforeTimeout_ = false;
    std::deque<double> roundTimes_;
    double lastAnswer_ = 0;
    bool stop_ = false;
    bool running_ = false;
    bool connecting_ = false;
    bool identify_ = false;
    ReadCheck check_;
    long unsettled_ = 0;
};

}  // namespace meridan
