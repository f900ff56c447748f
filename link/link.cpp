#include "link.h"

#include <QMetaObject>
#include <algorithm>

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
    if (observer_) observer_->onWire(WireDirection::FromDevice, bytes, clock_.now());
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
            if (lostPending_) return;
            lostPending_ = true;
            lostDevice_ = port_.deviceName();
            aborted_ = true;
            Q_EMIT portLost(lostDevice_);
            // Reported by the wait that is running, or by the event loop when none is.
            QMetaObject::invokeMethod(this, &Link::reportLostIfPending, Qt::QueuedConnection);
            break;
    }
}

void Link::reportLostIfPending() {
    if (!lostPending_) return;
    lostPending_ = false;
    reporter_->report({LinkError::PortLost, lostDevice_, {}});
}

bool Link::interrupted() {
    reportLostIfPending();
    return aborted_;
}

bool Link::write(const QByteArray& data) {
    if (aborted_ || !port_.isOpen()) return false;
    const qint64 n = port_.write(data);
    if (n > 0 && observer_) observer_->onWire(WireDirection::ToDevice, data.left(n), clock_.now());
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
    if (w == Wait::TimedOut) fail(LinkError::NoReply);
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
    if (w == Wait::TimedOut) fail(LinkError::NoReply);
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

Link::SequenceScope::SequenceScope(Link& link) : link_(link) {
    if (link_.depth_++ == 0 && !link_.shutdown_) link_.aborted_ = false;
}

Link::SequenceScope::~SequenceScope() {
    --link_.depth_;
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
