#pragma once

#include <QObject>
#include <QString>
#include <functional>

#include "signalpipe.h"

namespace meridan::cli {

// Ctrl+C (SIGINT), SIGTERM and SIGHUP (the terminal or the SSH session closed) while the tool
// runs. The first one reaches the event loop, so the tool can finish the exchange in progress,
// end the communication and say what state the unit is in; a second one ends the tool at once,
// with 128 + the signal, leaving the state known at that moment and an end line on stderr (for
// a unit of a fleet: as an event for the fleet) and in the trace.
class InterruptWatch final : public QObject {
    Q_OBJECT
  public:
    // `eventFd`: a unit of a fleet says its last words to the fleet there; -1 on stderr.
    explicit InterruptWatch(int eventFd = -1);
    ~InterruptWatch() override;

    // The signal that came (SIGINT, SIGTERM, SIGHUP), 0 while none did. Also takes in one
    // that has not reached the event loop yet.
    int received();
    // 130 after SIGINT, 143 after SIGTERM, 129 after SIGHUP.
    int exitCode() { return 128 + received(); }
    // Runs once, from the event loop, when the first signal arrives.
    std::function<void(int)> onInterrupt;

    // What a second signal says of the unit ("plan not stored: the unit runs converters 1-4
    // changed, converter 5 possibly in part, ..."), kept up to date as the run goes on.
    void setStateNow(const QString& state);
    // The trace's file descriptor: a second signal ends it with the state and the exit code.
    void setTraceDescriptor(int fd);

  private:
    void take(int sig);

    SignalPipe pipe_;
    int signal_ = 0;
};

// "Ctrl+C", "SIGTERM", "SIGHUP".
QString signalName(int sig);

}  // namespace meridan::cli
