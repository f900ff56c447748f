#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <bit>
#include <cstdint>

#include "commands.h"
#include "display.h"
#include "unitview.h"

namespace meridan {

// The protocol has no checksum: one byte changed on the line is a wrong value, in range or
// not. A read that is checked reads a value again before anything acts on it: a value outside
// the range a unit reports (a carrier of 2, an input of 28666 MHz) always, and every value
// when confirmAll is set (--confirm). Reads of one value go on until two of them agree, at
// most MaxExtraReads beyond the first (beyond the first two when confirming all).
struct ReadCheck {
    static constexpr int MaxExtraReads = 3;
    bool confirmAll = false;

    // What the reads found: the reads made because a value was doubtful or a pair differed,
    // and each value whose reads never agreed ("converter 7: input frequency: 28666, 1274,
    // 29000, 1290"); such a value is left as first read.
    long repeatedReads = 0;
    QStringList unsettled;
};

// Outside what a unit reports (input 950-2150 MHz, SAT code 0-3, carrier 0-1, gain 0-2 as
// the unit sends it): line noise or a fault.
bool outsideReportedRange(ChannelField field, int value);

namespace readcheck {
template <typename T>
bool same(const T& a, const T& b) {
    return a == b;
}
inline bool same(float a, float b) {
    return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b);
}
inline QString text(std::uint8_t v) {
    return QString::number(v);
}
inline QString text(std::int32_t v) {
    return QString::number(v);
}
inline QString text(float v) {
    return outFreqText(v);
}
inline QString text(const QString& v) {
    return QLatin1Char('"') + printableText(v) + QLatin1Char('"');
}
}  // namespace readcheck

// Reads `value` with `read` (the command's whole exchange, CommandStatus read(T&)), once
// without a check, else as `check` asks. `doubtful` says whether a first value must be read
// again. False when an exchange failed.
template <typename T, typename Read, typename Doubtful>
bool readChecked(ReadCheck* check, T& value, const QString& what, Read read, Doubtful doubtful) {
    T first{};
    if (read(first) == StatusFailed) return false;
    value = first;
    if (!check || (!check->confirmAll && !doubtful(first))) return true;
    QList<T> seen{first};
    const int reads = (check->confirmAll ? 1 : 0) + ReadCheck::MaxExtraReads;
    for (int k = 0; k < reads; ++k) {
        T next{};
        if (read(next) == StatusFailed) return false;
        // The confirming read of --confirm is not a repeat; every read after it is.
        if (!check->confirmAll || k > 0) ++check->repeatedReads;
        for (const T& earlier : seen) {
            if (readcheck::same(earlier, next)) {
                value = next;
                return true;
            }
        }
        seen.append(next);
    }
    QStringList texts;
    for (const T& v : seen)
        texts << readcheck::text(v);
    check->unsettled << what + QStringLiteral(": ") + texts.join(QStringLiteral(", "));
    return true;
}

template <typename T, typename Read>
bool readChecked(ReadCheck* check, T& value, const QString& what, Read read) {
    return readChecked(check, value, what, read, [](const T&) { return false; });
}

}  // namespace meridan
