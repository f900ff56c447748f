#pragma once

namespace meridan {

// One pass of the message loop. Processes what is pending; when nothing is, sleeps until
// something happens or at most maxWaitSeconds have passed. Never spins.
class Pump {
  public:
    virtual ~Pump() = default;
    virtual void pumpOnce(double maxWaitSeconds) = 0;
};

// The real pump: sleeps in the Qt event loop.
class EventLoopPump final : public Pump {
  public:
    void pumpOnce(double maxWaitSeconds) override;
};

}  // namespace meridan
