#include "virtualtime.h"

#include <QCoreApplication>
#include <algorithm>

namespace meridan::sim {

void VirtualPump::pumpOnce(double maxWaitSeconds) {
    ++passes_;
    QCoreApplication::processEvents();
    const double now = clock_.now();
    double target = now + std::max(0.0, maxWaitSeconds);
    target = std::min(target, port_.model().nextEventTime());
    if (!actions_.empty()) target = std::min(target, actions_.begin()->first);
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
