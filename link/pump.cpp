#include "pump.h"

#include <QCoreApplication>
#include <QTimer>
#include <chrono>
#include <cmath>

namespace meridan {

void EventLoopPump::pumpOnce(double maxWaitSeconds) {
    if (!(maxWaitSeconds > 0)) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        return;
    }
    // A local timer per pass, so a pass nested inside an event handler cannot move the
    // deadline of the pass it interrupted.
    QTimer wake;
    wake.setSingleShot(true);
    wake.setTimerType(Qt::PreciseTimer);
    const double ms = std::ceil(std::min(maxWaitSeconds, 3600.0) * 1000.0);
    wake.start(std::chrono::milliseconds(static_cast<long long>(ms)));
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

}  // namespace meridan
