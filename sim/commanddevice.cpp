#include "commanddevice.h"

#include <bit>
#include <cmath>
#include <utility>

namespace meridan::sim {

namespace {
// A partial frame older than this is dropped: the host has given up on it.
constexpr double FrameGap = 0.5;

// Command codes as the device knows them.
enum : std::uint8_t {
    CmdHwVersion = 19,
    CmdSwVersion = 20,
    CmdSerialNo = 21,
    CmdGetSat = 22,
    CmdSetSat = 23,
    CmdGetInFreq = 24,
    CmdSetInFreq = 25,
    CmdGetInLock = 26,
    CmdGetOutFreq = 27,
    CmdGetOutLock = 29,
    CmdGetGain = 30,
    CmdSetGain = 31,
    CmdStore = 33,
    CmdEnd = 40,
    CmdGetCarrier = 45,
    CmdSetCarrier = 46,
    CmdUnitType = 48,
};

QByteArray bigEndian(std::uint32_t v) {
    QByteArray b(4, '\0');
    b[0] = static_cast<char>(v >> 24);
    b[1] = static_cast<char>(v >> 16);
    b[2] = static_cast<char>(v >> 8);
    b[3] = static_cast<char>(v);
    return b;
}

std::uint32_t fromBigEndian(const QByteArray& b, int at) {
    std::uint32_t v = 0;
    for (int k = 0; k < 4; ++k)
        v = (v << 8) | static_cast<std::uint8_t>(b[at + k]);
    return v;
}

// Number of meaningful bytes of each frame layout, the code included; the rest must be zero.
int usedBytes(std::uint8_t code) {
    switch (code) {
        case CmdHwVersion:
        case CmdSwVersion:
        case CmdSerialNo:
        case CmdStore:
        case CmdEnd:
        case CmdUnitType:
            return 1;
        case CmdSetSat:
        case CmdSetGain:
        case CmdSetCarrier:
            return 3;
        case CmdSetInFreq:
            return 6;
        default:
            return 2;
    }
}
}  // namespace

long LockPattern::step(double time, double period) {
    return period > 0 ? static_cast<long>(std::floor(time / period)) : -1;
}

std::uint8_t LockPattern::input(std::uint8_t settled, int channel, long step) {
    if (step < 0 || settled != 1 || step % Channels != channel) return settled;
    return step % 3 == 2 ? 2 : 0;
}

std::uint8_t LockPattern::output(std::uint8_t settled, int channel, long step) {
    if (step < 0 || settled != 1 || step % Channels != channel) return settled;
    return step % 2 == 1 ? 0 : settled;
}

CommandDevice::CommandDevice(HeadendState initial, const SimFaults& faults, DeviceLine& line)
    : state_(std::move(initial)), faults_(faults), line_(line) {
    for (int i = 0; i < Channels; ++i)
        updateLocks(i);
    stored_ = state_;
}

void CommandDevice::updateLocks(int i) {
    SimChannel& c = state_.channels[i];
    // The device's own idea of the band it locks on, kept apart from the program's range on
    // purpose: the simulator is what the program is checked against.
    c.inputLock = (c.carrier != 0 && c.inFreq >= 950 && c.inFreq <= 2150) ? 1 : 0;
    c.outputLock = c.carrier != 0 ? 1 : 0;
}

CommandDevice::Taken CommandDevice::takeIn(std::uint8_t byte, double time, double gap) {
    switch (mode_) {
        case Mode::AwaitN:
        case Mode::AwaitTextN1:
        case Mode::AwaitTextN2:
            if (byte == 'N') {
                if (mode_ == Mode::AwaitTextN1) {
                    mode_ = Mode::AwaitTextN2;
                    sendData(pendingText_, time);
                } else {
                    endCommand(time);
                }
                return Taken::Byte;
            }
            // The host gave up on this command (a new connection request), or broke the rule.
            if (byte != 'T')
                line_.violation(QStringLiteral("expected \"N\", got byte %1").arg(byte), time);
            mode_ = Mode::Command;
            pendingDropEn_ = false;
            break;
        case Mode::Command:
            break;
    }

    if (!frame_.isEmpty() && gap > FrameGap) {
        line_.violation(QStringLiteral("incomplete frame of %1 bytes dropped").arg(frame_.size()),
                        time);
        frame_.clear();
    }
    if (frame_.isEmpty()) {
        if (!word_.isEmpty()) {
            word_.append(static_cast<char>(byte));
            const QByteArray w = std::exchange(word_, {});
            if (w == "UP") return Taken::UpdateRequest;
            if (w == "TS") {
                onConnectRequest(time);
            } else {
                line_.violation(
                    QStringLiteral("unknown word \"%1\"").arg(QString::fromLatin1(w.toHex(' '))),
                    time);
            }
            return Taken::Byte;
        }
        // Command codes are 19 to 48; the link words start with letters.
        if (byte == 'T' || byte == 'U') {
            word_.append(static_cast<char>(byte));
            return Taken::Byte;
        }
        if (byte == 'N') {
            line_.violation(QStringLiteral("\"N\" when no data reply was due"), time);
            return Taken::Byte;
        }
        if (!connected_) {
            line_.violation(QStringLiteral("byte %1 before a connection").arg(byte), time);
            return Taken::Byte;
        }
    }
    frame_.append(static_cast<char>(byte));
    if (frame_.size() == 15) {
        const QByteArray f = frame_;
        frame_.clear();
        execute(f, time);
    }
    return Taken::Byte;
}

void CommandDevice::onConnectRequest(double time) {
    ++connectRequests_;
    if (faults_.silent) return;
    if (ignoredConnects_ < faults_.ignoreConnects) {
        ++ignoredConnects_;
        return;
    }
    connected_ = true;
    commandNo_ = 0;
    line_.send(faults_.noiseBeforeOk + QByteArrayLiteral("OK"), time);
    if (!faults_.lateAfterOk.isEmpty()) line_.send(faults_.lateAfterOk, time + faults_.lateDelay);
}

void CommandDevice::sendData(const QByteArray& bytes, double time) {
    line_.send(bytes + faults_.surplusAfterData, time);
}

void CommandDevice::endCommand(double time) {
    mode_ = Mode::Command;
    if (pendingDropEn_) {
        pendingDropEn_ = false;
        return;
    }
    line_.send(faults_.endMark, time);
}

void CommandDevice::execute(const QByteArray& frame, double time) {
    ++commandNo_;
    ++framesReceived_;
    if (keepFrames_) frames_.append({time, frame});
    if (frameObserver_) frameObserver_({time, frame});
    const auto code = static_cast<std::uint8_t>(frame[0]);
    const auto index = static_cast<std::uint8_t>(frame[1]);
    const int used = usedBytes(code);
    for (int k = used; k < 15; ++k) {
        if (frame[k] != 0) {
            line_.violation(QStringLiteral("command %1: fill byte %2 is not zero").arg(code).arg(k),
                            time);
            break;
        }
    }
    if (faults_.silent || commandNo_ == faults_.noReplyAt) return;
    pendingDropEn_ = commandNo_ == faults_.dropEnAt;

    const bool perChannel = used >= 2;
    if (perChannel && index >= Channels) {
        line_.violation(QStringLiteral("command %1: converter index %2").arg(code).arg(index),
                        time);
        pendingDropEn_ = false;
        return;
    }
    SimChannel* c = perChannel ? &state_.channels[index] : nullptr;
    SimChannel ignored;
    const bool isSet =
        code == CmdSetSat || code == CmdSetInFreq || code == CmdSetGain || code == CmdSetCarrier;
    if (isSet && index == faults_.frozenConverter) c = &ignored;
    const int noisy = commandNo_ - faults_.garbleAt;
    const auto noise = faults_.garbleAt > 0 && noisy >= 0 && noisy < faults_.garbleCount
                           ? static_cast<char>(0x70 + noisy)
                           : char(0);
    auto garbled = [&](QByteArray data) {
        if (!data.isEmpty()) data[0] = static_cast<char>(data[0] ^ noise);
        return data;
    };
    auto byteReply = [&](std::uint8_t v) {
        mode_ = Mode::AwaitN;
        sendData(garbled(QByteArray(1, static_cast<char>(v))), time);
    };
    auto longReply = [&](std::uint32_t v) {
        mode_ = Mode::AwaitN;
        sendData(garbled(bigEndian(v)), time);
    };
    auto textReply = [&](const QString& text) {
        pendingText_ = garbled(text.toLatin1().left(255));
        mode_ = Mode::AwaitTextN1;
        sendData(QByteArray(1, static_cast<char>(pendingText_.size())), time);
    };

    switch (code) {
        case CmdUnitType:
            textReply(state_.unitType);
            break;
        case CmdHwVersion:
            textReply(state_.hwVersion);
            break;
        case CmdSwVersion:
            textReply(state_.swVersion);
            break;
        case CmdSerialNo:
            longReply(static_cast<std::uint32_t>(state_.serialNo));
            break;
        case CmdGetSat:
            byteReply(c->polarisation);
            break;
        case CmdGetInFreq:
            longReply(static_cast<std::uint32_t>(c->inFreq));
            break;
        case CmdGetInLock:
            byteReply(LockPattern::input(c->inputLock, index,
                                         LockPattern::step(time, faults_.lockChanges)));
            break;
        case CmdGetOutFreq:
            longReply(std::bit_cast<std::uint32_t>(c->outFreq));
            break;
        case CmdGetOutLock:
            byteReply(LockPattern::output(c->outputLock, index,
                                          LockPattern::step(time, faults_.lockChanges)));
            break;
        case CmdGetGain:
            byteReply(c->gain == 1 ? faults_.gainOnValue : c->gain);
            break;
        case CmdGetCarrier:
            byteReply(c->carrier);
            break;
        case CmdSetSat:
            c->polarisation = static_cast<std::uint8_t>(frame[2]);
            endCommand(time);
            break;
        case CmdSetInFreq:
            c->inFreq = static_cast<std::int32_t>(fromBigEndian(frame, 2));
            updateLocks(index);
            endCommand(time);
            break;
        case CmdSetGain:
            c->gain = static_cast<std::uint8_t>(frame[2]);
            endCommand(time);
            break;
        case CmdSetCarrier:
            c->carrier = static_cast<std::uint8_t>(frame[2]);
            updateLocks(index);
            endCommand(time);
            break;
        case CmdStore:
            stored_ = state_;
            ++stores_;
            if (onStore_) onStore_(stored_);
            endCommand(time);
            break;
        case CmdEnd:
            endCommand(time);
            connected_ = false;
            break;
        default:
            line_.violation(QStringLiteral("unknown command %1").arg(code), time);
            pendingDropEn_ = false;
            break;
    }
}

}  // namespace meridan::sim
