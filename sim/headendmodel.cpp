#include "headendmodel.h"

#include <cmath>

#include "commanddevice.h"
#include "firmwaremodule.h"

namespace meridan::sim {

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

HeadendModel::HeadendModel(HeadendState initial)
    : command_(std::make_unique<CommandDevice>(std::move(initial), faults_,
                                               static_cast<DeviceLine&>(*this))),
      firmware_(std::make_unique<FirmwareModule>(faults_, static_cast<DeviceLine&>(*this))) {}

HeadendModel::~HeadendModel() = default;

HeadendState& HeadendModel::state() {
    return command_->state();
}
const HeadendState& HeadendModel::stored() const {
    return command_->stored();
}
void HeadendModel::setStored(const HeadendState& s) {
    command_->setStored(s);
}
void HeadendModel::setStoreHandler(std::function<void(const HeadendState&)> handler) {
    command_->setStoreHandler(std::move(handler));
}
void HeadendModel::setFirmwareHandler(std::function<void(const QByteArray&)> handler) {
    firmware_->setFirmwareHandler(std::move(handler));
}
const QList<HeadendModel::FrameRecord>& HeadendModel::frames() const {
    return command_->frames();
}
void HeadendModel::setKeepFrames(bool keep) {
    command_->setKeepFrames(keep);
}
long HeadendModel::framesReceived() const {
    return command_->framesReceived();
}
void HeadendModel::setFrameObserver(std::function<void(const FrameRecord&)> observer) {
    command_->setFrameObserver(std::move(observer));
}
int HeadendModel::connectRequests() const {
    return command_->connectRequests();
}
int HeadendModel::stores() const {
    return command_->stores();
}
const QByteArray& HeadendModel::firmwareImage() const {
    return firmware_->image();
}
int HeadendModel::updateAttempts() const {
    return firmware_->attempts();
}
int HeadendModel::updatesCompleted() const {
    return firmware_->completed();
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

void HeadendModel::violation(const QString& what, double time) {
    violations_.append(QStringLiteral("%1 s: %2").arg(time, 0, 'f', 3).arg(what));
}

void HeadendModel::takeIn(std::uint8_t byte, double time) {
    const double gap = lastByte_ < 0 ? 0 : time - lastByte_;
    lastByte_ = time;
    if (firmware_->continues(byte, gap)) {
        firmware_->takeIn(byte, time);
        return;
    }
    firmware_->abandon();
    if (command_->takeIn(byte, time, gap) == CommandDevice::Taken::UpdateRequest) {
        firmware_->start(time);
    }
}

}  // namespace meridan::sim
