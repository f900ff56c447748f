#pragma once

#include <QObject>
#include <functional>
#include <initializer_list>
#include <memory>

class QSocketNotifier;

namespace meridan::cli {

// The tool's one way of taking signals. The handler only writes the signal's number into a
// pipe; the event loop of the thread that made the SignalPipe reads it and calls onSignal,
// where anything may be done. What cannot wait for the event loop (a repeated Ctrl+C that ends
// the tool at once) is done in the handler by `immediate`. One SignalPipe at a time in a
// process; while it lives its signals are handled (and not blocked in the thread that made it),
// then they get their default handling back.
class SignalPipe final : public QObject {
    Q_OBJECT
  public:
    explicit SignalPipe(std::initializer_list<int> signals);
    ~SignalPipe() override;
    SignalPipe(const SignalPipe&) = delete;
    SignalPipe& operator=(const SignalPipe&) = delete;

    // Called from the event loop for every signal that came, in order.
    std::function<void(int sig)> onSignal;
    // Reads what has come and not been taken in yet (a check from inside a wait).
    void takeIn();

    // Runs in the signal handler before the signal is passed to the pipe, with the number of
    // the signals other than SIGCHLD that came so far, this one included; async-signal-safe
    // code only. The signal goes to the pipe when it returns.
    using Immediate = void (*)(int sig, int count);
    void setImmediate(Immediate immediate);

    // In a process forked from one that has a SignalPipe: the signals get their default
    // handling back and the parent's pipe is closed, without touching the event loop the
    // parent's SignalPipe belongs to.
    static void forgetAfterFork();

  private:
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace meridan::cli
