#pragma once

#include <QByteArray>
#include <QList>
#include <functional>

#include "headendmodel.h"

namespace meridan::sim {

// The unit's command device: "TS" is answered "OK"; then 15-byte frames, each answered with
// its data (the host acknowledges data with "N") and closed with "EN". Set commands change
// the running settings; command 33 stores them.
class CommandDevice {
  public:
    CommandDevice(HeadendState initial, const SimFaults& faults, DeviceLine& line);

    enum class Taken { Byte, UpdateRequest };
    // One byte from the host, `gap` seconds after the one before. An "UP" is not the command
    // device's: it is handed on as an update request.
    Taken takeIn(std::uint8_t byte, double time, double gap);

    HeadendState& state() { return state_; }
    const HeadendState& stored() const { return stored_; }
    void setStored(const HeadendState& s) { stored_ = s; }
    void setStoreHandler(std::function<void(const HeadendState&)> handler) {
        onStore_ = std::move(handler);
    }
    const QList<HeadendModel::FrameRecord>& frames() const { return frames_; }
    void setKeepFrames(bool keep) { keepFrames_ = keep; }
    void setFrameObserver(std::function<void(const HeadendModel::FrameRecord&)> observer) {
        frameObserver_ = std::move(observer);
    }
    long framesReceived() const { return framesReceived_; }
    int connectRequests() const { return connectRequests_; }
    int stores() const { return stores_; }

  private:
    enum class Mode { Command, AwaitN, AwaitTextN1, AwaitTextN2 };

    void onConnectRequest(double time);
    void execute(const QByteArray& frame, double time);
    void sendData(const QByteArray& bytes, double time);
    void endCommand(double time);
    void updateLocks(int channel);

    HeadendState state_;
    HeadendState stored_;
    const SimFaults& faults_;
    DeviceLine& line_;
    std::function<void(const HeadendState&)> onStore_;
    int ignoredConnects_ = 0;

    Mode mode_ = Mode::Command;
    bool connected_ = false;
    QByteArray word_;
    QByteArray frame_;
    QByteArray pendingText_;
    bool pendingDropEn_ = false;
    int commandNo_ = 0;

    QList<HeadendModel::FrameRecord> frames_;
    bool keepFrames_ = false;
    std::function<void(const HeadendModel::FrameRecord&)> frameObserver_;
    long framesReceived_ = 0;
    int connectRequests_ = 0;
    int stores_ = 0;
};

}  // namespace meridan::sim
