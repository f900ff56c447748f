#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>

namespace meridan::sim {

constexpr int Channels = 12;
// 57600 baud, 8N1: ten bit times a byte.
constexpr double LineRate = 5760.0;
constexpr double Never = std::numeric_limits<double>::infinity();
constexpr int SectorSize = 65536;

struct SimChannel {
    std::uint8_t carrier = 1;
    std::uint8_t polarisation = 0;
    std::int32_t inFreq = 1000;
    std::uint8_t inputLock = 1;
    std::uint8_t gain = 0;
    float outFreq = 474.0f;
    std::uint8_t outputLock = 1;
};

struct HeadendState {
    QString unitType;
    QString hwVersion;
    QString swVersion;
    std::int32_t serialNo = 0;
    std::array<SimChannel, Channels> channels{};

    static HeadendState demo();
    bool operator==(const HeadendState&) const = default;
};

// Ways the simulated headend misbehaves, for tests and for training.
struct SimFaults {
    bool silent = false;          // answers nothing at all
    double replyDelay = 0;        // seconds before every answer
    int ignoreConnects = 0;       // "TS" requests left unanswered before the first "OK"
    int noReplyAt = 0;            // command k after a connection gets no answer at all
    int dropEnAt = 0;             // command k after a connection gets its data but no "EN"
    QByteArray surplusAfterData;  // sent after every data reply
    QByteArray noiseBeforeOk;     // sent just before "OK"
    QByteArray lateAfterOk;       // sent lateDelay seconds after "OK"
    double lateDelay = 0.2;
    std::uint8_t gainOnValue = 1;  // some units answer 2 for gain on
    int frozenConverter = -1;      // this converter (0..11) answers its set commands, ignoring them

    // Firmware module.
    int stallSector = -1;        // the request for this sector ("EN" when it is the count)...
    int stallAttempts = 0;       // ...is left out in the first n update attempts
    bool dropFinalEn = false;    // no "EN" after the last sector, ever
    double sectorWriteTime = 0;  // seconds the module takes to store a sector
};

// The device side of the headend's serial protocol, as a byte-in/byte-out state machine
// driven by time. Bytes handed to receive() arrive at the line rate when paced and are acted
// on at their arrival time; answers come out of takeOutput() when their time has come.
//
// Besides the command protocol the unit's modules take firmware: "UP" is answered "OK"; then
// "OK" and a sector count byte; the module asks for each 64 KiB sector with "OK" and answers
// the last one with "EN". A pause of more than five seconds while the image flows ends the
// update, so a fresh "UP" is taken at any point of an interrupted transfer.
class HeadendModel {
  public:
    explicit HeadendModel(HeadendState initial = HeadendState::demo());

    HeadendState& state() { return state_; }
    const HeadendState& stored() const { return stored_; }
    void setStored(const HeadendState& s) { stored_ = s; }
    SimFaults& faults() { return faults_; }
    void setPaced(bool paced) { paced_ = paced; }
    bool paced() const { return paced_; }
    // A device behind a large buffer (a USB adapter, a network serial server): it takes
    // everything the host writes at once and works through it at the line rate, so the
    // host's port never holds anything back. Implies pacing.
    void setBuffering(bool buffering) {
        buffering_ = buffering;
        if (buffering) paced_ = true;
    }
    bool buffering() const { return buffering_; }
    // Called with the settings when the device stores them (command 33).
    void setStoreHandler(std::function<void(const HeadendState&)> handler) {
        onStore_ = std::move(handler);
    }
    // Called with the image when an update has received its last sector.
    void setFirmwareHandler(std::function<void(const QByteArray&)> handler) {
        onFirmware_ = std::move(handler);
    }

    void receive(const QByteArray& bytes, double time);
    // The time of the next answer byte due, Never when none is.
    double nextEventTime() const;
    // Bytes handed to receive() that are still on their way at `time` (paced only; a buffering
    // device has taken them all).
    qint64 pendingInput(double time) const;
    // When the last byte handed to receive() has arrived.
    double inputDrainedAt() const { return lastIn_; }
    // Everything due to be sent up to `time`, after taking in what has arrived by then.
    QByteArray takeOutput(double time);
    // Bytes scheduled but not yet taken.
    int pendingOutput() const { return static_cast<int>(out_.size()); }

    struct FrameRecord {
        double time;
        QByteArray frame;
    };
    const QList<FrameRecord>& frames() const { return frames_; }
    // What the host did wrong: frames before a connection, unknown commands, index out of
    // range, non-zero fill, "N" when none was due.
    const QStringList& violations() const { return violations_; }
    int connectRequests() const { return connectRequests_; }
    int stores() const { return stores_; }

    // Firmware: the bytes of the current or last update attempt, as received.
    const QByteArray& firmwareImage() const { return fwImage_; }
    int firmwareSectorCount() const { return fwCount_; }
    int updateAttempts() const { return updateAttempts_; }
    int updatesCompleted() const { return updatesCompleted_; }
    // Time of each "OK" + count announcement and of each sector's last byte.
    struct UpdateEvent {
        double time;
        QString what;
    };
    const QList<UpdateEvent>& updateLog() const { return updateLog_; }

  private:
    enum class Mode { Command, AwaitN, AwaitTextN1, AwaitTextN2, FirmwareCount, FirmwareData };

    void takeIn(std::uint8_t byte, double time);
    void takeFirmware(std::uint8_t byte, double time);
    void requestSector(int sector, double time);
    void onWord(const QByteArray& word, double time);
    void execute(const QByteArray& frame, double time);
    void send(const QByteArray& bytes, double time);
    void sendData(const QByteArray& bytes, double time);
    void endCommand(double time);
    void violation(const QString& what, double time);
    void updateLocks(int channel);

    HeadendState state_;
    HeadendState stored_;
    SimFaults faults_;
    bool paced_ = false;
    bool buffering_ = false;
    std::function<void(const HeadendState&)> onStore_;
    std::function<void(const QByteArray&)> onFirmware_;

    struct Timed {
        double time;
        std::uint8_t byte;
    };
    std::deque<Timed> out_;
    double lastIn_ = 0;
    double lastOut_ = 0;
    double lastByte_ = -1;

    Mode mode_ = Mode::Command;
    bool connected_ = false;
    QByteArray word_;
    QByteArray frame_;
    QByteArray pendingText_;
    bool pendingDropEn_ = false;
    int commandNo_ = 0;

    QByteArray fwCountBytes_;
    QByteArray fwImage_;
    int fwCount_ = 0;
    int fwInSector_ = 0;
    int updateAttempts_ = 0;
    int updatesCompleted_ = 0;
    QList<UpdateEvent> updateLog_;

    QList<FrameRecord> frames_;
    QStringList violations_;
    int connectRequests_ = 0;
    int stores_ = 0;
};

}  // namespace meridan::sim
