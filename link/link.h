#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <optional>

#include "clock.h"
#include "linkfailure.h"
#include "port.h"
#include "pump.h"

namespace meridan {

enum class WireDirection { ToDevice, FromDevice };

// Sees every byte that crosses the port, with the time it crossed.
class WireObserver {
  public:
    virtual ~WireObserver() = default;
    virtual void onWire(WireDirection direction, const QByteArray& bytes, double time) = 0;
};

// The serial link: the receive accumulator ReplyBuffer and the blocking request/reply
// primitives on which every device command is built. A wait pumps the message loop and then
// tests its condition and its time-out; a failure is reported once, where it happens, to the
// link's reporter.
//
// A running sequence can be aborted (its window is closing, the program is ending, the port
// went away): every wait then returns false at once without a message, and nothing more is
// written until the next sequence begins.
class Link : public QObject {
    Q_OBJECT
  public:
    static constexpr double ReplyTimeout = 5.0;     // data reply, "EN", one "TS" attempt
    static constexpr double ConnectTimeout = 50.0;  // all "TS" attempts together
    static constexpr double ConnectPause = 0.5;     // after "OK"
    // 57600 baud, 8N1: ten bit times a byte.
    static constexpr double LineBytesPerSecond = 5760.0;
    // What a serial device server may add to each reply before the user is told: ser2net
    // with its defaults adds about 3.5 ms (it waits for more characters, and a small reply
    // waits for the peer's delayed acknowledgement), set up as recommended about 0.3 ms. It is
    // measured on the answers a unit gives at once ("OK" to "TS", "EN" to "N"), the least of
    // the first DelaySamples of them.
    static constexpr double DeviceServerDelayHint = 0.002;
    static constexpr int DelaySamples = 8;

    Link(Port& port, Clock& clock, Pump& pump, LinkReporter& reporter, QObject* parent = nullptr);

    Port& port() { return port_; }
    Clock& clock() { return clock_; }

    // The receive accumulator: everything the port receives is appended to it.
    const QByteArray& ReplyBuffer() const { return reply_; }
    void clearReplyBuffer() { reply_.clear(); }

    // Writes to the port. False, and nothing written, when aborted or the port is not open.
    bool write(const QByteArray& data);

    // The one wait of the link: pumps the message loop until `done()` holds (Done), more than
    // `limit` seconds have passed since `start` (TimedOut), or the sequence is aborted
    // (Aborted). The first pass only takes in what is pending, so a condition that already
    // holds ends the wait at once; later passes sleep until something arrives or the time-out
    // is due. Nothing is reported here. With TimeFirst the time-out is tested before the
    // condition on each pass.
    enum class Wait { Done, TimedOut, Aborted };
    enum class Order { ConditionFirst, TimeFirst };
    template <typename Condition>
    Wait waitFor(Condition done, double limit, double start, Order order = Order::ConditionFirst);
    template <typename Condition>
    Wait waitFor(Condition done, double limit) {
        return waitFor(done, limit, clock_.now());
    }

    bool get_data_(int count);
    bool connect_();
    bool disconnect_();
    void WaitSeconds(double seconds);
    // Waits until the port has taken everything written to it. False when that takes longer
    // than `limit` seconds or the sequence is aborted; nothing is reported.
    bool drain(double limit);
    // One pass of the message loop, sleeping at most maxWait seconds. Returns false when the
    // running sequence has been aborted.
    bool pumpOnce(double maxWait = 0);

    bool TestComPort(int port);
    // The port numbers 1 to 15 that can be opened now. Leaves the port closed. `problems`
    // gets each port that exists but cannot be used: in use by another program, or a device
    // path that cannot be a device.
    QList<int> probeComPorts(QList<LinkFailure>* problems = nullptr);
    // Why the port did not open, as a failure of the link.
    LinkFailure openFailure() const;

    // Sequences. A SequenceScope marks a command sequence as running; the outermost scope
    // clears an earlier abort, unless the program is ending.
    class SequenceScope {
      public:
        explicit SequenceScope(Link& link);
        ~SequenceScope();
        SequenceScope(const SequenceScope&) = delete;
        SequenceScope& operator=(const SequenceScope&) = delete;

      private:
        Link& link_;
    };
    bool busy() const { return depth_ > 0; }
    // A wait of the link is running: the message loop is being pumped for it. Whatever runs
    // now runs inside that wait, and holds it up for as long as it takes.
    bool waiting() const { return pumping_ > 0; }
    // Nothing more is written; what the port still holds of earlier writes is dropped.
    void abort();
    void shutdown();
    bool aborted() const { return aborted_; }
    // Whether the last reply wait that timed out had the whole reply by then: the program held
    // the wait up past the unit's time, the unit did answer (the exchange failed all the same).
    // Part of a reply is not an answer: the unit fell silent in the middle of it.
    bool timedOutWithReply() const { return timedOutWithReply_; }
    // Asks the running sequence to stop at the next command boundary: the exchange in
    // progress is completed, then the sequence ends the communication and returns. A wait for
    // the connection ends at once, without a message. Stays set for the rest of the run.
    void requestStop() { stopRequested_ = true; }
    bool stopRequested() const { return stopRequested_; }
    // The program is ending: no sequence talks to the unit any more.
    bool isShutDown() const { return shutdown_; }

    // One owner of the link at a time: the window whose sequences use it ("Overview",
    // "Firmware Update", "Diagnostic") holds it while an OwnerScope of its name lives; empty
    // while nobody does. Scopes of the holder's own name nest.
    const QString& owner() const { return owner_; }
    class OwnerScope {
      public:
        OwnerScope(Link& link, const QString& owner);
        ~OwnerScope();
        OwnerScope(const OwnerScope&) = delete;
        OwnerScope& operator=(const OwnerScope&) = delete;
        // False when another owner holds the link: its sequences must not start.
        bool held() const { return held_; }

      private:
        Link& link_;
        bool held_;
    };

    // While a ReporterScope lives, the link's failures go to `reporter` instead of the
    // link's own reporter, which previous() still reaches: a sequence that handles some
    // failures itself (the lock monitor reconnects to a unit that has fallen silent) passes
    // the others on.
    class ReporterScope {
      public:
        ReporterScope(Link& link, LinkReporter& reporter);
        ~ReporterScope();
        ReporterScope(const ReporterScope&) = delete;
        ReporterScope& operator=(const ReporterScope&) = delete;
        LinkReporter& previous() const { return *previous_; }

      private:
        Link& link_;
        LinkReporter* previous_;
    };

    void setWireObserver(WireObserver* observer) { observer_ = observer; }

  Q_SIGNALS:
    // The port went away; it is closed already. Reported to the user once by the link.
    void portLost(const QString& device);
    // Another owner holds the link now (empty: nobody does).
    void ownerChanged(const QString& owner);
    // The serial device server at `device` adds `seconds` to each reply of the unit, more than
    // DeviceServerDelayHint; said once per device.
    void deviceServerDelay(const QString& device, double seconds);

  private:
    void onReceived();
    void onPortEvent(PortEvent event);
    bool interrupted();
    void reportLostIfPending();
    // The port failed under the running sequence: it ends, and the failure is reported once.
    // False when one is already pending.
    bool failPort(const LinkFailure& failure);
    // `turn`: from a write of `lineBytes - 2` bytes to the end of the 2-byte answer.
    void measureReplyDelay(double turn, int lineBytes);
    void fail(LinkError error);
    double remaining(double start, double limit) const;

    Port& port_;
    Clock& clock_;
    Pump& pump_;
    LinkReporter* reporter_;
    WireObserver* observer_ = nullptr;
    QString owner_;
    int ownerDepth_ = 0;
    QByteArray reply_;
    double receivedAt_ = 0;
    bool timedOutWithReply_ = false;
    std::optional<LinkFailure> pendingFailure_;
    QByteArray lastWrite_;
    double lastWriteAt_ = 0;
    QString delayDevice_;
    int delaySamples_ = 0;
    double delayLeast_ = 0;
    int depth_ = 0;
    int pumping_ = 0;
    bool aborted_ = false;
    bool shutdown_ = false;
    bool stopRequested_ = false;
};

template <typename Condition>
Link::Wait Link::waitFor(Condition done, double limit, double start, Order order) {
    for (double sleep = 0;; sleep = remaining(start, limit)) {
        if (!pumpOnce(sleep)) return Wait::Aborted;
        const bool late = clock_.now() - start > limit;
        if (order == Order::TimeFirst && late) return Wait::TimedOut;
        if (done()) return Wait::Done;
        if (late) return Wait::TimedOut;
    }
}

}  // namespace meridan
