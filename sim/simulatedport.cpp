#include "simulatedport.h"

#include <utility>

namespace meridan::sim {

SimulatedPort::SimulatedPort(HeadendModel& model, Clock& clock, QObject* parent)
    : Port(parent), model_(model), clock_(clock) {}

QString SimulatedPort::deviceName() const {
    return QStringLiteral("sim:Com%1").arg(number_);
}

bool SimulatedPort::open() {
    error_.clear();
    if (open_) {
        error_ = QStringLiteral("already open");
        return false;
    }
    if (!available_.isEmpty() && !available_.contains(number_)) {
        error_ = QStringLiteral("no such device");
        return false;
    }
    open_ = true;
    ++opens_;
    return true;
}

qint64 SimulatedPort::write(const QByteArray& data) {
    if (!open_) return -1;
    if (holding_) {
        held_.append(data);
        return data.size();
    }
    model_.receive(data, clock_.now());
    reportedPending_ = model_.pendingInput(clock_.now());
    return data.size();
}

qint64 SimulatedPort::bytesToWrite() const {
    return open_ ? held_.size() + model_.pendingInput(clock_.now()) : 0;
}

void SimulatedPort::setHeld(bool held) {
    holding_ = held;
    if (held || held_.isEmpty()) return;
    const QByteArray data = std::exchange(held_, {});
    write(data);
    Q_EMIT bytesWritten(data.size());
}

double SimulatedPort::nextEventTime(double now) const {
    double t = model_.nextEventTime();
    if (model_.inputDrainedAt() > now) t = std::min(t, model_.inputDrainedAt());
    return t;
}

QByteArray SimulatedPort::readAll() {
    QByteArray out;
    out.swap(rx_);
    return out;
}

void SimulatedPort::deliver(double time) {
    const qint64 pending = model_.pendingInput(time);
    if (open_ && pending < reportedPending_) {
        const qint64 left = reportedPending_ - pending;
        reportedPending_ = pending;
        Q_EMIT bytesWritten(left);
    }
    const QByteArray out = model_.takeOutput(time);
    if (out.isEmpty() || !open_) return;
    rx_.append(out);
    Q_EMIT received();
}

void SimulatedPort::loseDevice() {
    if (!open_) return;
    open_ = false;
    Q_EMIT eventOccurred(PortEvent::Lost);
}

}  // namespace meridan::sim
