#pragma once

#include <QElapsedTimer>

namespace meridan {

// Monotonic time in seconds. Every time-out of the link and the windows is measured on one of
// these, so a wait never jumps at midnight or when the wall clock is set.
class Clock {
  public:
    virtual ~Clock() = default;
    virtual double now() const = 0;
};

class SteadyClock final : public Clock {
  public:
    SteadyClock() { timer_.start(); }
    double now() const override { return static_cast<double>(timer_.nsecsElapsed()) / 1e9; }

  private:
    QElapsedTimer timer_;
};

}  // namespace meridan
