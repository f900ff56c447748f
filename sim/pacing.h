#pragma once

#include <QString>
#include <QTextStream>

#include "headendmodel.h"

namespace meridan::sim {

// What the pseudo-terminal and the TCP fronts share: how a paced unit takes its input in, and
// what a verbose front says of the unit.

// A paced unit reads ahead of the line by at most this many bytes, like a UART's FIFO.
constexpr qint64 ReadAhead = 256;

// Bytes the unit takes in at `now`, at most `want`: all of them when it is unpaced or behind a
// large buffer, what its FIFO has room for when paced (0: stop reading until
// resumeReadingAt()).
inline qint64 inputRoom(const HeadendModel& model, double now, qint64 want) {
    if (!model.paced() || model.buffering()) return want;
    return std::max<qint64>(0, std::min(want, ReadAhead - model.pendingInput(now)));
}

// When a reader paused by a full FIFO takes in again: once half of it has reached the unit.
inline double resumeReadingAt(const HeadendModel& model) {
    return model.inputDrainedAt() - double(ReadAhead / 2) / LineRate;
}

// Says on `err` what the unit has seen since the last call: update requests, violations of
// the line's rules. Each line starts with `label`.
class Happenings {
  public:
    void report(const HeadendModel& model, QTextStream& err, const QString& label = {}) {
        for (; updates_ < model.updateAttempts(); ++updates_)
            err << label << "firmware update request " << updates_ + 1 << '\n';
        const auto& v = model.violations();
        for (; violations_ < v.size(); ++violations_)
            err << label << "violation " << v[violations_] << '\n';
    }

  private:
    int updates_ = 0;
    qsizetype violations_ = 0;
};

}  // namespace meridan::sim
