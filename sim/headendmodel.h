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
#include <memory>

namespace meridan::sim {

constexpr int Channels = 12;
// 57600 baud, 8N1: ten bit times a byte. The simulated unit keeps its own figure rather than
// the link's, so that a wrong rate in the program cannot hide behind the same wrong rate here.
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
    // Line noise: commands garbleAt to garbleAt + garbleCount - 1 of each connection get the
    // first byte of their data (of a text: its first character) changed, each differently.
    int garbleAt = 0;
    int garbleCount = 1;
    double lockChanges = 0;  // seconds a step of the lock pattern lasts (0: locks hold)
    QByteArray endMark = QByteArrayLiteral("EN");  // ends each command, and an update

    // Firmware module.
    int stallSector = -1;        // the request for this sector ("EN" when it is the count)...
    int stallAttempts = 0;       // ...is left out in the first n update attempts
    bool dropFinalEn = false;    // no "EN" after the last sector, ever
    double sectorWriteTime = 0;  // seconds the module takes to store a sector
};

// The lock states of a unit whose dish is being turned, as SimFaults::lockChanges plays them:
// the device's time is cut into steps of that many seconds, and in step k converter k mod 12
// is off its lock: a locked input reads 0 ("Unlocked"; 2, "Unknown", in every third step),
// and in odd steps a locked output reads 0 too. Every other lock reads as the converter's
// settings give it. Tests predict what a monitor sees from these.
struct LockPattern {
    static long step(double time, double period);
    static std::uint8_t input(std::uint8_t settled, int channel, long step);
    static std::uint8_t output(std::uint8_t settled, int channel, long step);
};

class CommandDevice;
class FirmwareModule;

// What the command device and the firmware module use of the line they share.
class DeviceLine {
  public:
    virtual ~DeviceLine() = default;
    // Schedules `bytes` to leave from `time` on, after what is already on its way.
    virtual void send(const QByteArray& bytes, double time) = 0;
    // Records something the host did wrong.
    virtual void violation(const QString& what, double time) = 0;
};

// The device side of the headend's serial line, as a byte-in/byte-out state machine driven by
// time. Bytes handed to receive() arrive at the line rate when paced and are acted on at their
// arrival time; answers come out of takeOutput() when their time has come. Behind the line are
// the unit's command device (frames, data replies, "N", "EN") and its firmware module ("UP",
// the sector count, 64 KiB sectors at the module's request, "EN" after the last).
class HeadendModel final : private DeviceLine {
  public:
    explicit HeadendModel(HeadendState initial = HeadendState::demo());
    ~HeadendModel() override;
    HeadendModel(const HeadendModel&) = delete;
    HeadendModel& operator=(const HeadendModel&) = delete;

    HeadendState& state();
    const HeadendState& stored() const;
    void setStored(const HeadendState& s);
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
    void setStoreHandler(std::function<void(const HeadendState&)> handler);
    // Called with the image when an update has received its last sector.
    void setFirmwareHandler(std::function<void(const QByteArray&)> handler);

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

    struct FrameRecord {
        double time;
        QByteArray frame;
    };
    // The frames received, with their times: kept only once setKeepFrames(true) asked for
    // them (tests), as a unit left running would otherwise keep every frame it ever saw.
    const QList<FrameRecord>& frames() const;
    void setKeepFrames(bool keep);
    long framesReceived() const;
    // Told of every frame as it is received (a server's verbose output).
    void setFrameObserver(std::function<void(const FrameRecord&)> observer);
    // What the host did wrong: frames before a connection, unknown commands, index out of
    // range, non-zero fill, "N" when none was due, a bad sector count.
    const QStringList& violations() const { return violations_; }
    int connectRequests() const;
    int stores() const;

    // Firmware: the bytes of the current or last update attempt, as received.
    const QByteArray& firmwareImage() const;
    int updateAttempts() const;
    int updatesCompleted() const;

  private:
    void send(const QByteArray& bytes, double time) override;
    void violation(const QString& what, double time) override;
    void takeIn(std::uint8_t byte, double time);

    SimFaults faults_;
    std::unique_ptr<CommandDevice> command_;
    std::unique_ptr<FirmwareModule> firmware_;
    bool paced_ = false;
    bool buffering_ = false;

    struct Timed {
        double time;
        std::uint8_t byte;
    };
    std::deque<Timed> out_;
    double lastIn_ = 0;
    double lastOut_ = 0;
    double lastByte_ = -1;
    QStringList violations_;
};

}  // namespace meridan::sim
