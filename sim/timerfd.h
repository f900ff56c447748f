#pragma once

#include <sys/timerfd.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace meridan::sim {

// Arms the timer file descriptor `fd` for `next` on a clock that reads `now` (both in seconds);
// an infinite `next` disarms it. An already due time still arms it (1 ns): zero would disarm it.
inline void armTimerFd(int fd, double next, double now) {
    itimerspec due{};
    if (next != std::numeric_limits<double>::infinity()) {
        const double dt = std::max(next - now, 1e-9);
        due.it_value.tv_sec = static_cast<time_t>(std::floor(dt));
        due.it_value.tv_nsec = static_cast<long>((dt - std::floor(dt)) * 1e9);
        if (due.it_value.tv_sec == 0 && due.it_value.tv_nsec == 0) due.it_value.tv_nsec = 1;
    }
    ::timerfd_settime(fd, 0, &due, nullptr);
}

}  // namespace meridan::sim
