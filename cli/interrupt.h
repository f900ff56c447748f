#pragma once

#include <QObject>
#include <functional>
#include <memory>

class QSocketNotifier;

namespace meridan::cli {

// Ctrl+C (SIGINT) and SIGTERM while the tool runs. The first one reaches the event loop
// through a pipe, so the tool can finish the exchange in progress, end the communication and
// say what state the unit is in; a second one ends the tool at once, with 128 + the signal.
class InterruptWatch final : public QObject {
    Q_OBJECT
  public:
    InterruptWatch();
    ~InterruptWatch() override;
    InterruptWatch(const InterruptWatch&) = delete;
    InterruptWatch& operator=(const InterruptWatch&) = delete;

    // The signal that came (SIGINT, SIGTERM), 0 while none did. Also takes in one that has
    // not reached the event loop yet.
    int received();
    // 130 after SIGINT, 143 after SIGTERM.
    int exitCode() { return 128 + received(); }
    // Runs once, from the event loop, when the first signal arrives.
    std::function<void(int)> onInterrupt;

  private:
    void takeIn();

    std::unique_ptr<QSocketNotifier> notifier_;
    int signal_ = 0;
};

}  // namespace meridan::cli
