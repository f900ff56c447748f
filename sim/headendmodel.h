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
};

// The device side of the headend's serial protocol, as a byte-in/byte-out state machine
// driven by time. Bytes handed to receive() are taken in at the line rate when paced; answers
// come out of takeOutput() when their time has come.
class HeadendModel {
  public:
    explicit HeadendModel(HeadendState initial = HeadendState::demo());

    HeadendState& state() { return state_; }
    const HeadendState& stored() const { return stored_; }
    void setStored(const HeadendState& s) { stored_ = s; }
    SimFaults& faults() { return faults_; }
    void setPaced(bool paced) { paced_ = paced; }
    bool paced() const { return paced_; }
    // Called with the settings when the device stores them (command 33).
    void setStoreHandler(std::function<void(const HeadendState&)> handler) {
        onStore_ = std::move(handler);
    }

    void receive(const QByteArray& bytes, double time);
    // The earliest time at which something is due: a byte to take in or to send.
    double nextEventTime() const;
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

  private:
    enum class Mode { Command, AwaitN, AwaitTextN1, AwaitTextN2 };

    void advance(double time);
    void takeIn(std::uint8_t byte, double time);
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
    std::function<void(const HeadendState&)> onStore_;

    struct Timed {
        double time;
        std::uint8_t byte;
    };
    std::deque<Timed> in_;
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

    QList<FrameRecord> frames_;
    QStringList violations_;
    int connectRequests_ = 0;
    int stores_ = 0;
};

}  // namespace meridan::sim
