#include "monitor.h"

#include "commands.h"

namespace meridan {

namespace {
// The rate counts the rounds of the last two seconds.
constexpr double RateSpan = 2.0;
}  // namespace

bool MonitorChoice::reads(int channel, LockSide side) const {
    if (all()) return true;
    return channel == converter && (side == LockSide::Input || outputLock);
}

bool MonitorRound::changed(int channel, LockSide side) const {
    const auto& now = values(side)[channel];
    const auto& before = (side == LockSide::Input ? inputBefore : outputBefore)[channel];
    return now && before && *now != *before;
}

LockMonitor::LockMonitor(Link& link, MonitorObserver& observer)
    : link_(link), observer_(observer) {}

void LockMonitor::stop() {
    stop_ = true;
    // A unit that does not answer has no connection to end: the wait for it ends now.
    if (running_ && connecting_) link_.abort();
}

void LockMonitor::report(const LinkFailure& failure) {
    lastFailure_ = failure.error;
    if (failure.error == LinkError::NoReply) answeredBeforeTimeout_ = link_.timedOutWithReply();
    // A time-out is the monitor's to handle; everything else the user hears of as usual.
    if (failure.error == LinkError::NoReply || failure.error == LinkError::NoConnection) return;
    if (programReporter_) programReporter_->report(failure);
}

bool LockMonitor::connect(bool once, bool* silenceUntold) {
    connecting_ = true;
    bool connected = false;
    for (;;) {
        lastFailure_.reset();
        if (stopping()) break;
        if (link_.connect_()) {
            connected = true;
            break;
        }
        if (link_.aborted() || stopping() || lastFailure_ != LinkError::NoConnection) break;
        if (once) {
            // The unit did not answer at all: the user hears of it as of any other sequence.
            programReporter_->report({LinkError::NoConnection, link_.port().deviceName(), {}});
            break;
        }
        if (silenceUntold && *silenceUntold) {
            *silenceUntold = false;
            tell([&](MonitorObserver& o) { o.silent(lastAnswer_); });
        }
    }
    connecting_ = false;
    return connected;
}

double LockMonitor::rate(double now) {
    roundTimes_.push_back(now);
    while (roundTimes_.size() > 2 && now - roundTimes_.front() > RateSpan)
        roundTimes_.pop_front();
    if (roundTimes_.size() < 2) return 0;
    const double span = roundTimes_.back() - roundTimes_.front();
    return span > 0 ? double(roundTimes_.size() - 1) / span : 0;
}

LockMonitor::Step LockMonitor::readRound(const MonitorChoice& choice, MonitorRound& round) {
    Commands cmd(link_);
    LockValues input{}, output{};
    for (int i = 0; i < ConverterCount; ++i) {
        const auto index = static_cast<std::uint8_t>(i);
        for (const LockSide side : {LockSide::Input, LockSide::Output}) {
            if (!choice.reads(i, side)) continue;
            // A stop is taken between exchanges, never inside one.
            if (stopping()) return Step::Stopped;
            std::uint8_t value = 0;
            const bool read = readChecked(
                check_.confirmAll ? &check_ : nullptr, value, QString(), [&](std::uint8_t& v) {
                    return side == LockSide::Input ? cmd.read_input_lock_(v, index)
                                                   : cmd.read_output_lock_(v, index);
                });
            if (!read) return Step::Failed;
            lastAnswer_ = link_.clock().now();
            if (!check_.unsettled.isEmpty()) {
                check_.unsettled.clear();
                ++unsettled_;
                continue;
            }
            (side == LockSide::Input ? input : output)[i] = value;
        }
    }
    for (int i = 0; i < ConverterCount; ++i) {
        if (round.input[i]) round.inputBefore[i] = round.input[i];
        if (round.output[i]) round.outputBefore[i] = round.output[i];
    }
    round.input = input;
    round.output = output;
    ++round.number;
    round.time = link_.clock().now();
    round.rate = rate(round.time);
    return Step::Complete;
}

LockMonitor::Step LockMonitor::readIdentity() {
    if (stopping()) return Step::Stopped;
    Commands cmd(link_);
    QString type;
    std::int32_t serial = 0;
    if (cmd.read_text_(ReadUnitType, type) == StatusFailed) return Step::Failed;
    if (stopping()) return Step::Stopped;
    if (cmd.read_serialno_(serial) == StatusFailed) return Step::Failed;
    lastAnswer_ = link_.clock().now();
    tell([&](MonitorObserver& o) { o.identified(type, serial); });
    return Step::Complete;
}

MonitorOutcome LockMonitor::run(const MonitorChoice& choice, long rounds) {
    MonitorOutcome out;
    if (running_) return out;
    Link::SequenceScope scope(link_);
    running_ = true;
    stop_ = false;
    roundTimes_.clear();
    bool connected = false;
    bool identified = !identify_;
    tell([&](MonitorObserver& o) { o.started(choice); });
    {
        Link::ReporterScope reporting(link_, *this);
        programReporter_ = &reporting.previous();
        lastFailure_.reset();
        connected = connect(true);
        MonitorRound round;
        lastAnswer_ = link_.clock().now();
        while (connected) {
            if (rounds > 0 && out.rounds >= rounds) {
                out.end = MonitorEnd::Done;
                break;
            }
            const Step step = identified ? readRound(choice, round) : readIdentity();
            if (step == Step::Complete) {
                if (!identified) {
                    identified = true;
                    continue;
                }
                ++out.rounds;
                tell([&](MonitorObserver& o) { o.round(round); });
                continue;
            }
            if (step == Step::Stopped) break;
            // As in every sequence, nothing follows a failed exchange but a new connection.
            connected = false;
            if (stopping() || link_.aborted() || lastFailure_ != LinkError::NoReply) break;
            // Silent: the next answer to a connection request starts a new run of rounds. A
            // unit whose answer came while the program held the wait up is not silent: it is
            // told so only if it does not answer the connection requests either.
            bool silenceUntold = answeredBeforeTimeout_;
            if (!silenceUntold) tell([&](MonitorObserver& o) { o.silent(lastAnswer_); });
            roundTimes_.clear();
            connected = connect(false, &silenceUntold);
            if (!connected) break;
            lastAnswer_ = link_.clock().now();
            if (!silenceUntold) tell([&](MonitorObserver& o) { o.reconnected(); });
        }
        programReporter_ = nullptr;
    }
    if (out.end != MonitorEnd::Done) {
        if (lastFailure_ == LinkError::PortLost) {
            out.end = MonitorEnd::PortLost;
        } else if (stopping()) {
            out.end = MonitorEnd::Stopped;
        } else if (link_.aborted()) {
            out.end = MonitorEnd::Aborted;
        } else if (lastFailure_ == LinkError::NoConnection) {
            out.end = MonitorEnd::NoConnection;
        } else {
            out.end = MonitorEnd::Failed;
        }
    }
    // The end command follows the last complete exchange; a failure of its own is reported
    // as any other sequence's.
    out.connected = connected && !link_.aborted();
    if (out.connected) out.ended = Commands(link_).com_end_() == StatusDone;
    running_ = false;
    tell([&](MonitorObserver& o) { o.finished(out); });
    return out;
}

}  // namespace meridan
