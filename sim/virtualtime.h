#pragma once

#include <functional>
#include <map>

#include "link/clock.h"
#include "link/pump.h"
#include "simulatedport.h"

namespace meridan::sim {

class VirtualClock final : public Clock {
  public:
    double now() const override { return now_; }
    void set(double t) { now_ = t; }

  private:
    double now_ = 0;
};

// A pump in virtual time: each pass processes pending Qt events, moves the clock to the next
// thing that happens (a device byte, a scheduled action) or to the end of the sleep, and lets
// the device's bytes arrive. A 50-second time-out passes in a few thousand passes.
class VirtualPump final : public Pump {
  public:
    VirtualPump(VirtualClock& clock, SimulatedPort& port) : clock_(clock), port_(port) {}

    void pumpOnce(double maxWaitSeconds) override;
    // Runs action once the clock has reached `time`, during a pass.
    void at(double time, std::function<void()> action);
    // Runs the pump until the clock reaches `time` (for tests between sequences).
    void runUntil(double time);
    long passes() const { return passes_; }

  private:
    VirtualClock& clock_;
    SimulatedPort& port_;
    std::multimap<double, std::function<void()>> actions_;
    long passes_ = 0;
};

}  // namespace meridan::sim
