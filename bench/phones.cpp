#include "phones.h"

#include <sys/resource.h>
#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <array>
#include <functional>
#include <memory>
#include <vector>

#include "link/deviceport.h"
#include "link/link.h"
#include "messages/linkmessages.h"
#include "protocol/frame.h"
#include "protocol/monitor.h"
#include "sim/simprocess.h"
#include "webmonitor/liveserver.h"

using namespace meridan;

namespace {

constexpr int Viewers = 8;

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

class Quiet final : public MessageService {
  public:
    MessageResult show(const QString&, const QString&, MessageIcon, MessageButtons) override {
        return MessageResult::Ok;
    }
};

// Every input lock the unit reported, with the time its byte was read from the port.
class LockReplies final : public WireObserver {
  public:
    struct Reply {
        double time;
        int converter;
        std::uint8_t value;
    };
    void onWire(WireDirection d, const QByteArray& bytes, double time) override {
        if (d == WireDirection::ToDevice) {
            awaiting_ =
                bytes.size() == CommandFrame::Size && std::uint8_t(bytes[0]) == ReadInputLock
                    ? std::uint8_t(bytes[1])
                    : -1;
        } else if (awaiting_ >= 0 && !bytes.isEmpty()) {
            replies.push_back({time, awaiting_, std::uint8_t(bytes[0])});
            awaiting_ = -1;
        }
    }
    std::vector<Reply> replies;

  private:
    int awaiting_ = -1;
};

// Eight phones on their own thread: for each converter, when each count of input lock
// changes first reached them.
class Phones final : public QThread {
  public:
    Phones(quint16 port, QByteArray token, const Clock& clock)
        : port_(port), token_(std::move(token)), clock_(clock) {}
    // seen[viewer][converter][k]: when the (k+1)th change of that converter arrived.
    std::array<std::array<std::vector<double>, ConverterCount>, Viewers> seen;
    std::array<long, Viewers> states{};

  protected:
    void run() override {
        std::vector<std::unique_ptr<QTcpSocket>> sockets;
        std::array<QByteArray, Viewers> buffers;
        for (int v = 0; v < Viewers; ++v) {
            auto socket = std::make_unique<QTcpSocket>();
            QTcpSocket* s = socket.get();
            QObject::connect(s, &QTcpSocket::connected, s, [this, s] {
                s->write("GET /events?token=" + token_ + " HTTP/1.1\r\nHost: x\r\n\r\n");
            });
            QObject::connect(s, &QTcpSocket::readyRead, s, [this, s, v, &buffers] {
                const double now = clock_.now();
                QByteArray& b = buffers[v];
                b += s->readAll();
                for (qsizetype end; (end = b.indexOf("\n\n")) >= 0; b.remove(0, end + 2)) {
                    const qsizetype data = b.indexOf("data: ");
                    if (data < 0 || data > end) continue;
                    take(v, QJsonDocument::fromJson(b.mid(data + 6, end - data - 6)).object(), now);
                }
            });
            s->connectToHost(QHostAddress::LocalHost, port_);
            sockets.push_back(std::move(socket));
        }
        exec();
    }

  private:
    void take(int v, const QJsonObject& state, double now) {
        ++states[v];
        const QJsonArray converters = state["converters"].toArray();
        for (int i = 0; i < ConverterCount && i < converters.size(); ++i) {
            const auto changes = std::size_t(converters[i].toObject()["inChanges"].toInt());
            while (seen[v][i].size() < changes)
                seen[v][i].push_back(now);
        }
    }

    quint16 port_;
    QByteArray token_;
    const Clock& clock_;
};

struct Timing final : MonitorObserver {
    long last = 0;
    double first = 0, end = 0, cpu0 = 0, cpu1 = 0;
    const Clock* clock = nullptr;
    void round(const MonitorRound& r) override {
        if (r.number == 1) {
            first = r.time;
            cpu0 = cpuSeconds();
        }
        last = r.number;
        end = r.time;
        cpu1 = cpuSeconds();
    }
};

// Sleeps in the event loop until `done` or `ms` have passed.
void waitFor(const std::function<bool()>& done, int ms) {
    QEventLoop loop;
    QTimer tick;
    QElapsedTimer waited;
    waited.start();
    QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
        if (done() || waited.elapsed() >= ms) loop.quit();
    });
    tick.start(10);
    loop.exec();
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, std::size_t(p * double(v.size() - 1) + 0.5))];
}

}  // namespace

int phonesBench(QTextStream& out) {
    const bool glib =
        QByteArray(QCoreApplication::eventDispatcher()->metaObject()->className()).contains("Glib");
    out << "The lock monitor served to " << Viewers
        << " phones (127.0.0.1), paced at 5760 B/s, the locks moving (--lock-changes); event "
           "loop "
        << (glib ? "GLib (as the windows run)" : "Qt's own (as meridan-cli runs)")
        << ".\n"
           "Latency: from the read of the reply that shows a change of an input lock to the\n"
           "arrival of a state with that change at a phone; rate against the wire's floor.\n";
    bool ok = true;
    const struct {
        const char* what;
        MonitorChoice choice;
        const char* lockChanges;
        int exchanges;
        long rounds;
    } modes[] = {
        {"all 12 converters, both locks", {-1, true}, "0.25", 2 * ConverterCount, 250},
        {"converter 1, input lock", {0, false}, "0.05", 1, 4500},
    };
    for (const auto& m : modes) {
        sim::SimProcess sim(QStringLiteral(MERIDAN_SIM));
        const QString tty = sim.start({QStringLiteral("--paced"), QStringLiteral("--lock-changes"),
                                       QLatin1String(m.lockChanges)});
        if (tty.isEmpty()) return 1;
        DevicePort port{PortMap()};
        port.setDevicePath(tty);
        SteadyClock clock;
        EventLoopPump pump;
        Quiet messages;
        LinkMessages reporter(messages);
        Link link(port, clock, pump, reporter);
        LockReplies replies;
        link.setWireObserver(&replies);
        if (!port.open()) return 1;

        web::LiveState state(clock);
        web::LiveServer server(state, web::newToken());
        QString why;
        if (!server.start(QHostAddress::LocalHost, 0, &why)) {
            out << "cannot listen: " << why << '\n';
            return 1;
        }
        Phones phones(server.port(), server.token(), clock);
        phones.start();
        waitFor([&] { return server.viewers() == Viewers; }, 5000);

        Timing timing;
        LockMonitor monitor(link, timing);
        monitor.setWatcher(&state);
        monitor.setIdentify(true);
        const MonitorOutcome o = monitor.run(m.choice, m.rounds);
        // The last states reach the phones.
        waitFor([] { return false; }, 500);
        phones.quit();
        phones.wait();

        // Each change on the wire against its arrival at each phone.
        std::vector<double> latencies;
        int changes = 0, missed = 0;
        std::array<std::optional<std::uint8_t>, ConverterCount> before{};
        std::array<std::size_t, ConverterCount> count{};
        for (const auto& r : replies.replies) {
            auto& b = before[std::size_t(r.converter)];
            if (b && *b != r.value) {
                const std::size_t k = count[std::size_t(r.converter)]++;
                ++changes;
                for (int v = 0; v < Viewers; ++v) {
                    const auto& seen = phones.seen[std::size_t(v)][std::size_t(r.converter)];
                    if (k < seen.size()) {
                        latencies.push_back(seen[k] - r.time);
                    } else {
                        ++missed;
                    }
                }
            }
            b = r.value;
        }
        const double floor = m.exchanges * 19.0 / Link::LineBytesPerSecond;
        const double perRound = (timing.end - timing.first) / double(timing.last - 1);
        const double cpuPerRound = (timing.cpu1 - timing.cpu0) / double(timing.last - 1);
        const double worst =
            latencies.empty() ? 0 : *std::max_element(latencies.begin(), latencies.end());
        out << QStringLiteral(
                   "%1  %2 rounds/s, %3% of the floor rate (%4); CPU %5 ms a round (%6% of a "
                   "core, the phones' thread included)\n"
                   "%7  %8 lock changes x %9 phones: latency median %10 ms, 95% %11 ms, max %12 "
                   "ms%13%14\n")
                   .arg(QLatin1String(m.what), -30)
                   .arg(1.0 / perRound, 0, 'f', 1)
                   .arg(floor / perRound * 100.0, 0, 'f', 1)
                   .arg(1.0 / floor, 0, 'f', 1)
                   .arg(cpuPerRound * 1000.0, 0, 'f', 3)
                   .arg(cpuPerRound / perRound * 100.0, 0, 'f', 2)
                   .arg(QString(), -30)
                   .arg(changes)
                   .arg(Viewers)
                   .arg(percentile(latencies, 0.5) * 1000.0, 0, 'f', 1)
                   .arg(percentile(latencies, 0.95) * 1000.0, 0, 'f', 1)
                   .arg(worst * 1000.0, 0, 'f', 1)
                   .arg(missed ? QStringLiteral(", %1 never arrived").arg(missed) : QString())
                   .arg(o.end == MonitorEnd::Done && o.ended ? QString()
                                                             : QStringLiteral("  FAILED"));
        out.flush();
        ok = ok && o.end == MonitorEnd::Done && o.ended && missed == 0 && changes > 0;
    }
    return ok ? 0 : 1;
}
