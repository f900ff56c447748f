#pragma once

#include <QByteArray>
#include <QList>
#include <functional>

#include "headendmodel.h"

namespace meridan::sim {

// The firmware module of a unit:
//
//   host                         module
//   "UP"                 ->
//                        <-      "OK"
//   "OK" n               ->                   (n = sector count, one byte)
//                        <-      "OK"         (send sector 0)
//   65536 bytes          ->
//                        <-      "OK"         (send the next sector) ... or "EN" after the last
//
// After "UP" the module waits for "OK" and the count as long as it takes; anything else ends
// the update. Once data flows, a pause of more than five seconds ends it, so a fresh "UP" is
// taken at any point of an interrupted transfer.
class FirmwareModule {
  public:
    FirmwareModule(const SimFaults& faults, DeviceLine& line);

    // "UP" from the host.
    void start(double time);
    // Whether `byte`, `gap` seconds after the one before, goes on with a running update.
    bool continues(std::uint8_t byte, double gap) const;
    void takeIn(std::uint8_t byte, double time);
    // A byte that does not go on with the running update ends it.
    void abandon();

    void setFirmwareHandler(std::function<void(const QByteArray&)> handler) {
        onFirmware_ = std::move(handler);
    }
    const QByteArray& image() const { return image_; }
    int attempts() const { return attempts_; }
    int completed() const { return completed_; }

  private:
    enum class Mode { Idle, Count, Data };

    void requestSector(int sector, double time);

    const SimFaults& faults_;
    DeviceLine& line_;
    std::function<void(const QByteArray&)> onFirmware_;
    Mode mode_ = Mode::Idle;
    QByteArray countBytes_;
    QByteArray image_;
    int count_ = 0;
    int inSector_ = 0;
    int attempts_ = 0;
    int completed_ = 0;
};

}  // namespace meridan::sim
