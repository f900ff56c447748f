#include "elapsedclock.h"

namespace meridan {

void ElapsedClock::reset(std::uint32_t tick) {
    ElapsedMs = 0;
    seconds = 0;
    minutes = 0;
    hours = 0;
    LastTick = tick;
}

void ElapsedClock::advance(std::uint32_t tick) {
    // Unsigned difference: right across the wrap of the tick count.
    ElapsedMs += static_cast<std::int32_t>(tick - LastTick);
    LastTick = tick;
    if (ElapsedMs >= 1000) {
        seconds = static_cast<std::int16_t>(seconds + ElapsedMs / 1000);
        ElapsedMs %= 1000;
        if (seconds >= 60) {
            minutes = static_cast<std::uint8_t>(minutes + seconds / 60);
            seconds %= 60;
            if (minutes > 59) {
                hours = static_cast<std::uint8_t>(hours + minutes / 60);
                minutes %= 60;
            }
        }
    }
}

QString ElapsedClock::text() const {
    return QStringLiteral("%1:%2:%3")
        .arg(hours)
        .arg(minutes, 2, 10, QLatin1Char('0'))
        .arg(seconds, 2, 10, QLatin1Char('0'));
}

}  // namespace meridan
