#pragma once

#include <QTextStream>
#include <functional>

#include "link/clock.h"
#include "messagesink.h"
#include "protocol/firmware.h"

namespace meridan::cli {

// The firmware transfer on a terminal: a progress line on stderr (percent, sector and block,
// bytes per second, time left once the rate is steady), the restarts, and why it failed. For a
// unit of a fleet the progress goes to `onProgress` instead.
class FlashProgress final : public TransferObserver {
  public:
    FlashProgress(const QString& image, Clock& clock, Voice& voice, bool terminal);

    void phaseChanged(TransferPhase phase, const TransferStatus& status) override;
    void progress(const TransferProgress& progress) override;
    void finished(TransferOutcome outcome, const QString& detail) override;
    QString chooseImage(bool) override { return image_; }
    // Done when the module has confirmed: no pauses on the success word.
    bool lingerOnSuccess() const override { return false; }

    // The line that would be shown for `blocksSent` blocks at `now`.
    QString progressLine(int blocksSent, double now) const;
    void finishLine();
    std::function<void(const QString&)> onProgress;

  private:
    void show(const QString& text);

    QString image_;
    Clock& clock_;
    Voice& voice_;
    bool terminal_;
    bool lineOpen_ = false;
    QString last_;
    int totalBlocks_ = 0;
    double blocksStart_ = 0;
};

}  // namespace meridan::cli
