#include "virtualtime.h"

#include <QCoreApplication>
#include <algorithm>
#include <cmath>

namespace meridan::sim {

void VirtualPump::pumpOnce(double maxWaitSeconds) {
    ++passes_;
    QCoreApplication::processEvents();
    const double now = clock_.now();
    double target = now + std::max(0.0, maxWaitSeconds);
    target = std::min(target, port_.nextEventTime(now));
    if (!actions_.empty()) target = std::min(target, actions_.begin()->first);
    // A sleep shorter than the clock's resolution at this time still moves it on, so a wait
    // for the rest of a pause always ends.
    if (maxWaitSeconds > 0 && target <= now) target = std::nextafter(now, Never);
    clock_.set(std::max(now, target));
    while (!actions_.empty() && actions_.begin()->first <= clock_.now()) {
        auto action = std::move(actions_.begin()->second);
        actions_.erase(actions_.begin());
        action();
    }
    port_.deliver(clock_.now());
}

void VirtualPump::at(double time, std::function<void()> action) {
    actions_.emplace(time, std::move(action));
}

void VirtualPump::runUntil(double time) {
    while (clock_.now() < time)
        pumpOnce(time - clock_.now());
}

}  // namespace meridan::sim
