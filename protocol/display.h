#pragma once

#include <QString>
#include <cstdint>

#include "unitimage.h"

namespace meridan {

// How the unit's values are shown.

// Lock label: the table's text for 0 and 1, the text at 9 ("Unknown") for anything else.
QString lockStateText(const LockTextTable& table, std::uint8_t value);
// Decimal digits, no leading blank, minus sign kept.
QString inFreqText(std::int32_t mhz);
// Shortest decimal form with at most 7 significant digits, "." as decimal point:
// 470 -> "470", 470.5 -> "470.5". Large or tiny values use "E+07" style exponents.
QString outFreqText(float mhz);
// Sign position kept: " 1234", "-1234".
QString serialNoText(std::int32_t serial);
// A text the unit sent, as a terminal or a file may show it: control characters (an escape,
// a carriage return, a NUL) written as \xNN, so a unit's type cannot clear a screen.
QString printableText(const QString& text);

}  // namespace meridan
