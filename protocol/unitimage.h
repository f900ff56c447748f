#pragma once

#include <QString>
#include <array>
#include <cstdint>

namespace meridan {

constexpr int ConverterCount = 12;

// What the unit's settings may hold. A unit can report other values (a fault, line noise);
// they are shown as they came and, when nobody touches them, written back as they were.
constexpr std::int32_t InFreqMinMhz = 950;  // input frequency, whole MHz
constexpr std::int32_t InFreqMaxMhz = 2150;
constexpr int SatInputs = 4;  // SAT codes 0 to 3: "SAT 1" to "SAT 4"

// The program's image of the connected headend: what the last read found and the edits
// accepted since.
struct UnitImage {
    QString UnitType;
    QString HwVersion;
    QString SwVersion;
    std::int32_t SerialNo = 0;

    std::array<std::uint8_t, ConverterCount> Carrier{};       // 0 off, 1 on
    std::array<std::uint8_t, ConverterCount> Polarisation{};  // 0..3 = "SAT 1".."SAT 4"
    std::array<std::int32_t, ConverterCount> InFreq{};        // MHz
    std::array<std::uint8_t, ConverterCount> InputLock{};     // 0 unlocked, 1 locked
    std::array<std::uint8_t, ConverterCount> Gain{};          // 0 / 1
    std::array<float, ConverterCount> OutFreq{};              // MHz
    std::array<std::uint8_t, ConverterCount> OutputLock{};    // 0 unlocked, 1 locked
};

// Texts of the lock-state labels, indices 0 to 9: 0 "Unlocked", 1 "Locked", 9 "Unknown"
// once filled; 2 to 8 stay empty.
using LockTextTable = std::array<QString, 10>;
void fillLockText(LockTextTable& table);

}  // namespace meridan
