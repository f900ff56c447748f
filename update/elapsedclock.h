#pragma once

#include <QString>
#include <cstdint>

namespace meridan {

// The update window's elapsed clock, stepped by its 100 ms timer from the millisecond tick
// count (a 32-bit count that wraps after 49.7 days).
struct ElapsedClock {
    std::int32_t ElapsedMs = 0;  // milliseconds not yet carried into the seconds
    std::uint32_t LastTick = 0;
    std::int16_t seconds = 0;
    std::uint8_t minutes = 0;
    std::uint8_t hours = 0;

    // Back to 0:00:00, counting from `tick`.
    void reset(std::uint32_t tick);
    // One timer step at tick count `tick`.
    void advance(std::uint32_t tick);
    // Hours as a plain number, minutes and seconds as two digits: 0:07:05.
    QString text() const;
};

}  // namespace meridan
