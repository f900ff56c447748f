#include "headendmodel.h"

#include <bit>
#include <cmath>
#include <cstring>

namespace meridan::sim {

namespace {
// A partial frame older than this is dropped: the host has given up on it.
constexpr double FrameGap = 0.5;
// A pause this long while the image flows ends an update. The host pauses a second before
// each sector and gives up on a silent module after ten.
constexpr double FirmwareGap = 5.0;

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

// Number of meaningful bytes after the code for each frame layout; the rest must be zero.
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

HeadendState HeadendState::demo() {
    HeadendState s;
    s.unitType = QStringLiteral("MC 1200");
    s.hwVersion = QStringLiteral("1.04");
    s.swVersion = QStringLiteral("2.17");
    s.serialNo = 10423;
    static const std::int32_t inputs[Channels] = {1010, 1054, 1097, 1141, 1185, 1229,
                                                  1362, 1406, 1450, 1494, 1538, 1582};
    for (int i = 0; i < Channels; ++i) {
        SimChannel& c = s.channels[i];
        c.carrier = i < 10 ? 1 : 0;
        c.polarisation = static_cast<std::uint8_t>(i % 4);
        c.inFreq = inputs[i];
        c.gain = static_cast<std::uint8_t>(i % 2);
        // UHF channels 21 upwards, 8 MHz apart.
        c.outFreq = 474.0f + 8.0f * static_cast<float>(i);
    }
    return s;
}

HeadendModel::HeadendModel(HeadendState initial) : state_(std::move(initial)), stored_(state_) {
    for (int i = 0; i < Channels; ++i)
        updateLocks(i);
    stored_ = state_;
}

void HeadendModel::updateLocks(int i) {
    SimChannel& c = state_.channels[i];
    c.inputLock = (c.carrier != 0 && c.inFreq >= 950 && c.inFreq <= 2150) ? 1 : 0;
    c.outputLock = c.carrier != 0 ? 1 : 0;
}

void HeadendModel::receive(const QByteArray& bytes, double time) {
    // Each byte is acted on at its arrival time, even one still in the future: the answers it
    // causes are scheduled from then on.
    for (char ch : bytes) {
        const double at = paced_ ? std::max(time, lastIn_) + 1.0 / LineRate : time;
        lastIn_ = std::max(lastIn_, at);
        takeIn(static_cast<std::uint8_t>(ch), at);
    }
}

double HeadendModel::nextEventTime() const {
    return out_.empty() ? Never : out_.front().time;
}

qint64 HeadendModel::pendingInput(double time) const {
    if (!paced_ || buffering_ || lastIn_ <= time) return 0;
    return static_cast<qint64>(std::ceil((lastIn_ - time) * LineRate - 1e-6));
}

QByteArray HeadendModel::takeOutput(double time) {
    QByteArray out;
    while (!out_.empty() && out_.front().time <= time) {
        out.append(static_cast<char>(out_.front().byte));
        out_.pop_front();
    }
    return out;
}

void HeadendModel::send(const QByteArray& bytes, double time) {
    if (bytes.isEmpty()) return;
    double t = time + faults_.replyDelay;
    for (char ch : bytes) {
        t = paced_ ? std::max(t, lastOut_) + 1.0 / LineRate : std::max(t, lastOut_);
        lastOut_ = t;
        out_.push_back({t, static_cast<std::uint8_t>(ch)});
    }
}

void HeadendModel::sendData(const QByteArray& bytes, double time) {
    send(bytes + faults_.surplusAfterData, time);
}

void HeadendModel::endCommand(double time) {
    mode_ = Mode::Command;
    if (pendingDropEn_) {
        pendingDropEn_ = false;
        return;
    }
    send(QByteArrayLiteral("EN"), time);
}

void HeadendModel::violation(const QString& what, double time) {
    violations_.append(QStringLiteral("%1 s: %2").arg(time, 0, 'f', 3).arg(what));
}

void HeadendModel::takeIn(std::uint8_t byte, double time) {
    const double gap = lastByte_ < 0 ? 0 : time - lastByte_;
    lastByte_ = time;

    // After "UP" the module waits for "OK" and the count as long as it takes; anything else
    // is not an update. Once data flows, a pause of more than a few seconds ends the update.
    const bool countGoesOn =
        mode_ == Mode::FirmwareCount && (!fwCountBytes_.isEmpty() || byte == 'O');
    const bool dataGoesOn = mode_ == Mode::FirmwareData && gap <= FirmwareGap;
    if (countGoesOn || dataGoesOn) {
        takeFirmware(byte, time);
        return;
    }
    if (mode_ == Mode::FirmwareCount || mode_ == Mode::FirmwareData) {
        updateLog_.append({time, QStringLiteral("update abandoned")});
        mode_ = Mode::Command;
    }

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
                return;
            }
            // The host gave up on this command (a new connection request), or broke the rule.
            if (byte != 'T')
                violation(QStringLiteral("expected \"N\", got byte %1").arg(byte), time);
            mode_ = Mode::Command;
            pendingDropEn_ = false;
            break;
        case Mode::Command:
        case Mode::FirmwareCount:
        case Mode::FirmwareData:
            break;
    }

    if (!frame_.isEmpty() && gap > FrameGap) {
        violation(QStringLiteral("incomplete frame of %1 bytes dropped").arg(frame_.size()), time);
        frame_.clear();
    }
    if (frame_.isEmpty()) {
        if (!word_.isEmpty()) {
            word_.append(static_cast<char>(byte));
            const QByteArray w = word_;
            word_.clear();
            onWord(w, time);
            return;
        }
        // Command codes are 19 to 48; the link words start with letters.
        if (byte == 'T' || byte == 'U') {
            word_.append(static_cast<char>(byte));
            return;
        }
        if (byte == 'N') {
            violation(QStringLiteral("\"N\" when no data reply was due"), time);
            return;
        }
        if (!connected_) {
            violation(QStringLiteral("byte %1 before a connection").arg(byte), time);
            return;
        }
    }
    frame_.append(static_cast<char>(byte));
    if (frame_.size() == 15) {
        const QByteArray f = frame_;
        frame_.clear();
        execute(f, time);
    }
}

void HeadendModel::onWord(const QByteArray& word, double time) {
    if (word == "TS") {
        ++connectRequests_;
        if (faults_.silent) return;
        if (faults_.ignoreConnects > 0) {
            --faults_.ignoreConnects;
            return;
        }
        connected_ = true;
        commandNo_ = 0;
        send(faults_.noiseBeforeOk + QByteArrayLiteral("OK"), time);
        if (!faults_.lateAfterOk.isEmpty()) {
            send(faults_.lateAfterOk, time + faults_.lateDelay);
        }
        return;
    }
    if (word == "UP") {
        if (faults_.silent) return;
        ++updateAttempts_;
        mode_ = Mode::FirmwareCount;
        fwCountBytes_.clear();
        fwImage_.clear();
        fwCount_ = 0;
        fwInSector_ = 0;
        updateLog_.append({time, QStringLiteral("UP, attempt %1").arg(updateAttempts_)});
        send(QByteArrayLiteral("OK"), time);
        return;
    }
    violation(QStringLiteral("unknown word \"%1\"").arg(QString::fromLatin1(word.toHex(' '))),
              time);
}

void HeadendModel::requestSector(int sector, double time) {
    const bool stalled = sector == faults_.stallSector && updateAttempts_ <= faults_.stallAttempts;
    if (sector < fwCount_) {
        if (stalled) {
            updateLog_.append({time, QStringLiteral("stall before sector %1").arg(sector)});
            return;
        }
        send(QByteArrayLiteral("OK"), time);
        return;
    }
    mode_ = Mode::Command;
    ++updatesCompleted_;
    updateLog_.append({time, QStringLiteral("image of %1 sectors received").arg(fwCount_)});
    if (onFirmware_) onFirmware_(fwImage_);
    if (stalled || faults_.dropFinalEn) return;
    send(QByteArrayLiteral("EN"), time);
}

void HeadendModel::takeFirmware(std::uint8_t byte, double time) {
    if (mode_ == Mode::FirmwareCount) {
        fwCountBytes_.append(static_cast<char>(byte));
        if (fwCountBytes_.size() < 3) return;
        if (!fwCountBytes_.startsWith("OK") || byte == 0) {
            violation(QStringLiteral("bad sector count announcement %1")
                          .arg(QString::fromLatin1(fwCountBytes_.toHex(' '))),
                      time);
            mode_ = Mode::Command;
            return;
        }
        fwCount_ = byte;
        mode_ = Mode::FirmwareData;
        updateLog_.append({time, QStringLiteral("count %1").arg(fwCount_)});
        requestSector(0, time);
        return;
    }
    fwImage_.append(static_cast<char>(byte));
    if (++fwInSector_ < SectorSize) return;
    fwInSector_ = 0;
    const int done = static_cast<int>(fwImage_.size() / SectorSize);
    updateLog_.append({time, QStringLiteral("sector %1 received").arg(done - 1)});
    requestSector(done, time + faults_.sectorWriteTime);
}

void HeadendModel::execute(const QByteArray& frame, double time) {
    ++commandNo_;
    frames_.append({time, frame});
    const auto code = static_cast<std::uint8_t>(frame[0]);
    const auto index = static_cast<std::uint8_t>(frame[1]);
    const int used = usedBytes(code);
    for (int k = 1 + used; k < 15; ++k) {
        if (frame[k] != 0) {
            violation(QStringLiteral("command %1: fill byte %2 is not zero").arg(code).arg(k),
                      time);
            break;
        }
    }
    if (faults_.silent || commandNo_ == faults_.noReplyAt) return;
    pendingDropEn_ = commandNo_ == faults_.dropEnAt;

    const bool perChannel = used >= 2;
    if (perChannel && index >= Channels) {
        violation(QStringLiteral("command %1: converter index %2").arg(code).arg(index), time);
        pendingDropEn_ = false;
        return;
    }
    SimChannel* c = perChannel ? &state_.channels[index] : nullptr;
    SimChannel ignored;
    const bool isSet =
        code == CmdSetSat || code == CmdSetInFreq || code == CmdSetGain || code == CmdSetCarrier;
    if (isSet && index == faults_.frozenConverter) c = &ignored;
    auto byteReply = [&](std::uint8_t v) {
        mode_ = Mode::AwaitN;
        sendData(QByteArray(1, static_cast<char>(v)), time);
    };
    auto longReply = [&](std::uint32_t v) {
        mode_ = Mode::AwaitN;
        sendData(bigEndian(v), time);
    };
    auto textReply = [&](const QString& text) {
        pendingText_ = text.toLatin1().left(255);
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
            byteReply(c->inputLock);
            break;
        case CmdGetOutFreq:
            longReply(std::bit_cast<std::uint32_t>(c->outFreq));
            break;
        case CmdGetOutLock:
            byteReply(c->outputLock);
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
            violation(QStringLiteral("unknown command %1").arg(code), time);
            pendingDropEn_ = false;
            break;
    }
}

}  // namespace meridan::sim
