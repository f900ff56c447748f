#include "link.h"

#include <QMetaObject>
#include <algorithm>
#include <limits>
#include <utility>

#include "portmap.h"

namespace meridan {

namespace {
const QByteArray WordTS = QByteArrayLiteral("TS");
const QByteArray WordOK = QByteArrayLiteral("OK");
const QByteArray WordEN = QByteArrayLiteral("EN");
// Slack added to a sleep so that the time-out test, a strict greater-than, is passed when
// the pump wakes.
constexpr double WakeSlack = 0.001;
}  // namespace

Link::Link(Port& port, Clock& clock, Pump& pump, LinkReporter& reporter, QObject* parent)
    : QObject(parent), port_(port), clock_(clock), pump_(pump), reporter_(&reporter) {
    connect(&port_, &Port::received, this, &Link::onReceived);
    connect(&port_, &Port::eventOccurred, this, &Link::onPortEvent);
}

void Link::onReceived() {
    const QByteArray bytes = port_.readAll();
    if (bytes.isEmpty()) return;
    receivedAt_ = clock_.now();
    if (observer_) observer_->onWire(WireDirection::FromDevice, bytes, receivedAt_);
    reply_.append(bytes);
}

void Link::onPortEvent(PortEvent event) {
    switch (event) {
        case PortEvent::Overrun:
            reporter_->report({LinkError::Overrun, port_.deviceName(), {}});
            break;
        case PortEvent::ReceiveOverflow:
            reporter_->report({LinkError::ReceiveOverflow, port_.deviceName(), {}});
            break;
        case PortEvent::Lost:
            if (failPort({LinkError::PortLost, port_.deviceName(), {}})) {
                Q_EMIT portLost(port_.deviceName());
            }
            break;
        case PortEvent::Flood:
            // The server's stream cannot be the unit's line: the exchange ends as one the unit
            // did not answer. The port connects again at the next exchange.
            timedOutWithReply_ = false;
            if (busy()) failPort({LinkError::NoReply, port_.deviceName(), {}});
            break;
        case PortEvent::OpenFailed:
            failPort({LinkError::PortNotOpened, port_.deviceName(), port_.errorText()});
            break;
    }
}

bool Link::failPort(const LinkFailure& failure) {
    if (pendingFailure_) return false;
    pendingFailure_ = failure;
    reply_.clear();
    aborted_ = true;
    // Reported by the wait that is running, or by the event loop when none is.
    QMetaObject::invokeMethod(this, &Link::reportLostIfPending, Qt::QueuedConnection);
    return true;
}

void Link::reportLostIfPending() {
    if (!pendingFailure_) return;
    const LinkFailure failure = *std::exchange(pendingFailure_, std::nullopt);
    reporter_->report(failure);
}

bool Link::interrupted() {
    reportLostIfPending();
    return aborted_;
}

bool Link::write(const QByteArray& data) {
    if (aborted_ || !port_.isOpen()) return false;
    const qint64 n = port_.write(data);
    lastWrite_ = data;
    lastWriteAt_ = clock_.now();
    if (n > 0 && observer_) observer_->onWire(WireDirection::ToDevice, data.left(n), lastWriteAt_);
    return n == data.size();
}

// The first pass of a wait only takes in what is pending, so a condition that already holds
// (an "EN" that came during a pause) ends the wait at once; later passes sleep until
// something arrives or the time-out is due.
double Link::remaining(double start, double limit) const {
    return std::max(0.0, limit - (clock_.now() - start)) + WakeSlack;
}

void Link::fail(LinkError error) {
    reporter_->report({error, port_.deviceName(), {}});
}

bool Link::pumpOnce(double maxWait) {
    if (!aborted_) {
        ++pumping_;
        pump_.pumpOnce(maxWait);
        --pumping_;
    }
    return !interrupted();
}

bool Link::get_data_(int count) {
    const Wait w = waitFor([&] { return reply_.size() >= count; }, ReplyTimeout, clock_.now(),
                           Order::TimeFirst);
    if (w == Wait::TimedOut) {
        timedOutWithReply_ = reply_.size() >= count;
        fail(LinkError::NoReply);
    }
    return w == Wait::Done;
}

bool Link::connect_() {
    if (aborted_ || stopRequested_) return false;
    if (!port_.isOpen()) {
        // Writing to a port that is not open would go nowhere for 50 seconds.
        fail(LinkError::PortNotSelected);
        return false;
    }
    const double start = clock_.now();
    reply_.clear();
    for (;;) {
        const double attempt = clock_.now();
        if (!pumpOnce(0)) return false;
        write(WordTS);
        reply_.clear();
        const Wait w = waitFor([&] { return stopRequested_ || reply_.endsWith(WordOK); },
                               ReplyTimeout, attempt);
        if (w == Wait::Aborted || stopRequested_) return false;
        if (w == Wait::Done) {
            measureReplyDelay(receivedAt_ - lastWriteAt_, 4);
            WaitSeconds(ConnectPause);
            return !aborted_;
        }
        if (clock_.now() - start > ConnectTimeout) break;
    }
    fail(LinkError::NoConnection);
    return false;
}

bool Link::disconnect_() {
    const Wait w = waitFor([&] { return reply_.endsWith(WordEN); }, ReplyTimeout);
    if (w == Wait::TimedOut) {
        timedOutWithReply_ = false;
        fail(LinkError::NoReply);
    }
    // "N" is answered "EN" at once, as "TS" is answered "OK".
    if (w == Wait::Done && lastWrite_ == "N") measureReplyDelay(receivedAt_ - lastWriteAt_, 3);
    return w == Wait::Done;
}

void Link::WaitSeconds(double seconds) {
    const double start = clock_.now();
    while (clock_.now() - start < seconds) {
        if (!pumpOnce(seconds - (clock_.now() - start))) return;
    }
}

bool Link::drain(double limit) {
    // bytesWritten wakes the pump as the port takes the data.
    return waitFor([&] { return port_.bytesToWrite() <= 0; }, limit) == Wait::Done;
}

bool Link::TestComPort(int port) {
    if (port > 0) port_.setPortNumber(port);
    const bool ok = port_.open();
    port_.close();
    return ok;
}

LinkFailure Link::openFailure() const {
    return {LinkError::PortNotOpened, port_.deviceName(), port_.errorText()};
}

QList<int> Link::probeComPorts(QList<LinkFailure>* problems) {
    QList<int> usable;
    for (int n = FirstComPort; n <= LastComPort; ++n) {
        port_.setPortNumber(n);
        // A port on a serial device server is listed without connecting to it: the probe
        // would connect to every server at start.
        if (port_.isNetwork() || TestComPort(n)) {
            usable.append(n);
        } else if (problems && (port_.openFailure() == OpenFailure::InUse ||
                                port_.openFailure() == OpenFailure::BadDevicePath)) {
            problems->append(openFailure());
        }
    }
    return usable;
}

void Link::measureReplyDelay(double turn, int lineBytes) {
    if (!port_.isNetwork()) return;
    const QString device = port_.deviceName();
    if (device != delayDevice_) {
        delayDevice_ = device;
        delaySamples_ = 0;
        delayLeast_ = std::numeric_limits<double>::infinity();
    }
    // The least of several turns: the program's own wake-ups only ever add to one.
    if (delaySamples_ >= DelaySamples) return;
    delayLeast_ = std::min(delayLeast_, turn - double(lineBytes) / LineBytesPerSecond);
    if (++delaySamples_ < DelaySamples || delayLeast_ <= DeviceServerDelayHint) return;
    Q_EMIT deviceServerDelay(device, delayLeast_);
}

Link::SequenceScope::SequenceScope(Link& link) : link_(link) {
    if (link_.depth_++ > 0) return;
    if (!link_.shutdown_) link_.aborted_ = false;
    link_.port_.setExchangeRunning(true);
}

Link::SequenceScope::~SequenceScope() {
    if (--link_.depth_ == 0) link_.port_.setExchangeRunning(false);
}

Link::OwnerScope::OwnerScope(Link& link, const QString& owner)
    : link_(link), held_(link.ownerDepth_ == 0 || link.owner_ == owner) {
    if (!held_) return;
    if (link_.ownerDepth_++ > 0) return;
    link_.owner_ = owner;
    Q_EMIT link_.ownerChanged(owner);
}

Link::OwnerScope::~OwnerScope() {
    if (!held_ || --link_.ownerDepth_ > 0) return;
    link_.owner_.clear();
    Q_EMIT link_.ownerChanged(QString());
}

Link::ReporterScope::ReporterScope(Link& link, LinkReporter& reporter)
    : link_(link), previous_(link.reporter_) {
    link_.reporter_ = &reporter;
}

Link::ReporterScope::~ReporterScope() {
    link_.reporter_ = previous_;
}

void Link::abort() {
    aborted_ = true;
    if (port_.isOpen()) port_.discardOutput();
}

void Link::shutdown() {
    shutdown_ = true;
    abort();
}

}  // namespace meridan
