#pragma once

#include <QString>
#include <array>
#include <cstdint>
#include <optional>
#include <variant>

#include "link/link.h"
#include "unitimage.h"
#include "unitview.h"

namespace meridan {

enum class SequenceResult {
    Complete,  // every command answered
    Failed,    // stopped at a command that failed or was aborted; already reported
    Refused,   // nothing sent: a field could not be converted
    Stopped,   // stopped on request (Link::requestStop) after a whole command; ended
};

// The settings of one converter as they go to the device.
struct ChannelSetting {
    std::uint8_t polarisation = 0;
    std::int32_t inFreq = 0;
    std::uint8_t gain = 0;
    std::uint8_t carrier = 0;
};
using ChannelSettings = std::array<ChannelSetting, ConverterCount>;

// "Input Frequency must be in the range 950 to 2150MHz!", built from the bounds.
QString inputRangeMessage();

// A field whose content cannot be sent.
struct FieldError {
    int channel = 0;
    ChannelField field = ChannelField::InFreq;
    QString message;
};

// Takes the values to send. A field the view reports as edited is sent as its control stands:
// the selected SAT entry, the input frequency text as a whole number from 950 to 2150, the
// gain and carrier boxes. Any other field goes back as the unit reported it, from `unit`.
// The first edited field that cannot be sent is returned instead, whether or not its control
// is enabled.
std::variant<ChannelSettings, FieldError> collectChannelSettings(const UnitView& view,
                                                                 const UnitImage& unit);

struct ReadCheck;

// Reads the whole unit into the image and shows it in the view: connection, 4 unit commands,
// 7 commands for each of the 12 converters, end of communication. Stops at the first command
// that fails, sending nothing more. A stop request is taken between converters. With a
// `check`, values are read again as it asks (readcheck.h) and it gets what the reads found.
SequenceResult read_unit_data_(Link& link, UnitImage& unit, const LockTextTable& lockText,
                               UnitView& view, ReadCheck* check = nullptr);

struct WriteOutcome {
    SequenceResult result = SequenceResult::Failed;
    std::optional<FieldError> refused;
    // Every converter was sent and the store command answered: the unit holds the settings,
    // even when the end command that followed failed.
    bool stored = false;
    // Converters sent in full before the sequence stopped (12 when all were).
    int convertersSent = 0;
    // A set command went out: false when the write stopped before its first (no connection,
    // a stop during the connection requests), so the unit is as it was.
    bool setSent = false;
};

// What the unit runs after a write, in the words the program and the command line use:
// "plan stored", "plan not written: the unit is as it was", "plan not stored: the unit runs
// converters 1-5 changed, converter 6 possibly in part, 7-12 as before".
QString unitStateAfterWrite(const WriteOutcome& outcome);
// Whether a write that did not complete may have changed what the unit runs.
inline bool changedSomething(const WriteOutcome& w) {
    return w.stored || w.setSent;
}

// Sends `settings` for all 12 converters (6 commands each, the lock labels refreshed on the
// way), then stores them in the device and ends the communication. Stops at the first command
// that fails, sending nothing more. A stop request is taken between converters and before the
// store: the communication is ended and convertersSent says how far the write came.
WriteOutcome writeChannelSettings(Link& link, const ChannelSettings& settings, UnitImage& unit,
                                  const LockTextTable& lockText, UnitView& view);

// Sends the view's settings for all 12 converters (6 commands each, the lock labels refreshed
// on the way), then stores them in the device and ends the communication. Fields the user did
// not edit go back as `unit` holds them; edited fields that cannot be sent refuse the whole
// write before the first byte.
WriteOutcome set_unit_data_(Link& link, UnitImage& unit, const LockTextTable& lockText,
                            UnitView& view);

}  // namespace meridan
