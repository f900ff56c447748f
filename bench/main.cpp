// meridan-bench: how close a full read of the unit comes to the limit of the wire, and what
// the waits cost. Runs the real Qt serial port against meridan-headend-sim on a
// pseudo-terminal, paced at the line rate (5760 bytes/s) and unpaced.
#include <sys/resource.h>
#include <QAbstractEventDispatcher>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>
#include <algorithm>

#include "fleet.h"
#include "link/deviceport.h"
#include "link/link.h"
#include "messages/linkmessages.h"
#include "phones.h"
#include "protocol/firmware.h"
#include "protocol/monitor.h"
#include "protocol/readcheck.h"
#include "protocol/sequences.h"
#include "sim/simprocess.h"

using namespace meridan;

namespace {

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

class Quiet final : public MessageService {
  public:
    MessageResult show(const QString& text, const QString& title, MessageIcon,
                       MessageButtons) override {
        last = title + QStringLiteral(": ") + text;
        return MessageResult::Ok;
    }
    QString last;
};

class ByteCount final : public WireObserver {
  public:
    void onWire(WireDirection, const QByteArray& bytes, double) override { total += bytes.size(); }
    qint64 total = 0;
};

struct Sim {
    sim::SimProcess process{QStringLiteral(MERIDAN_SIM)};
    QString tty;
    bool start(const QStringList& args) {
        tty = process.start(args);
        return !tty.isEmpty();
    }
};

struct Figures {
    double wall = 0, cpu = 0, floor = 0;
    qint64 bytes = 0;
    bool ok = false;
};

// One whole sequence on a fresh connection to the device at `tty`.
template <typename Run>
Figures measure(const QString& tty, double pauses, Run run) {
    DevicePort port{PortMap()};
    port.setDevicePath(tty);
    SteadyClock clock;
    EventLoopPump pump;
    Quiet messages;
    LinkMessages reporter(messages);
    Link link(port, clock, pump, reporter);
    ByteCount wire;
    link.setWireObserver(&wire);
    Figures f;
    if (!port.open()) return f;
    const double cpu0 = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    f.ok = run(link);
    f.wall = double(wall.nsecsElapsed()) / 1e9;
    f.cpu = cpuSeconds() - cpu0;
    f.bytes = wire.total;
    f.floor = pauses + double(wire.total) / Link::LineBytesPerSecond;
    if (!messages.last.isEmpty()) QTextStream(stderr) << "  (" << messages.last << ")\n";
    return f;
}

bool readUnit(Link& link) {
    UnitImage unit;
    LockTextTable lockText;
    fillLockText(lockText);
    MemoryUnitView view;
    return read_unit_data_(link, unit, lockText, view) == SequenceResult::Complete;
}

bool readConfirmed(Link& link) {
    UnitImage unit;
    LockTextTable lockText;
    fillLockText(lockText);
    MemoryUnitView view;
    ReadCheck check;
    check.confirmAll = true;
    return read_unit_data_(link, unit, lockText, view, &check) == SequenceResult::Complete &&
           check.unsettled.isEmpty();
}

bool writeUnit(Link& link) {
    UnitImage unit;
    LockTextTable lockText;
    fillLockText(lockText);
    MemoryUnitView view;
    for (int i = 0; i < ConverterCount; ++i)
        view.setInFreqText(i, QString::number(1000 + 10 * i));
    return set_unit_data_(link, unit, lockText, view).result == SequenceResult::Complete;
}

void print(QTextStream& out, const char* what, const Figures& f) {
    out << QStringLiteral("%1  %2 s wall  %3 s floor  %4%  %5 s CPU (%6% of wall)  %7 bytes%8\n")
               .arg(QLatin1String(what), -26)
               .arg(f.wall, 7, 'f', 3)
               .arg(f.floor, 6, 'f', 3)
               .arg(f.floor > 0 ? (f.wall / f.floor - 1.0) * 100.0 : 0.0, 6, 'f', 2)
               .arg(f.cpu, 6, 'f', 3)
               .arg(f.wall > 0 ? f.cpu / f.wall * 100.0 : 0.0, 5, 'f', 2)
               .arg(f.bytes)
               .arg(f.ok ? QString() : QStringLiteral("  FAILED"));
}

// The update window without a window: shows nothing, always the one image.
class NoView final : public TransferObserver {
  public:
    explicit NoView(QString image) : image_(std::move(image)) {}
    void phaseChanged(TransferPhase, const TransferStatus&) override {}
    void finished(TransferOutcome, const QString&) override {}
    QString chooseImage(bool) override { return image_; }

  private:
    QString image_;
};

long peakKilobytes() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

// A paced upload of a 2-sector image through the real port, as the update window does it.
int uploadBench(QTextStream& out) {
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("VELNO_S2.bin"));
    {
        QFile f(image);
        if (!f.open(QIODevice::WriteOnly)) return 1;
        QByteArray data(2 * SectorBytes, '\0');
        for (int k = 0; k < data.size(); ++k)
            data[k] = static_cast<char>(k * 29);
        f.write(data);
    }
    Sim sim;
    if (!sim.start({QStringLiteral("--paced")})) return 1;
    NoView view(image);
    // Pauses with the line idle: 1 s before "UP", 0.5 s after the file is opened, 1 s after
    // the count, 1 s before each sector, 2 s + 3 s on the success word.
    const double idle = 1.0 + 0.5 + 1.0 + 2 * 1.0 + 2.0 + 3.0;
    const long before = peakKilobytes();
    const Figures f = measure(sim.tty, idle, [&](Link& link) {
        link.port().setTransmitBufferSize(Port::TransmitBufferBytes);
        FirmwareTransfer transfer(link, view);
        return transfer.RunUpdate() == FirmwareTransfer::Outcome::Success;
    });
    print(out, "upload 2 sectors, paced", f);
    out << QStringLiteral("  peak memory %1 MiB (%2 MiB before the upload)\n")
               .arg(peakKilobytes() / 1024.0, 0, 'f', 1)
               .arg(before / 1024.0, 0, 'f', 1);
    return f.ok ? 0 : 1;
}

// The lock monitor against the paced simulator: rounds per second against the floor the line
// allows (19 bytes an exchange: frame 15, value 1, "N" 1, "EN" 2), and CPU per round. Timed
// from the end of the first round to the end of the last, so the connection request and the
// end command are left out.
int monitorBench(QTextStream& out) {
    Sim sim;
    if (!sim.start({QStringLiteral("--paced")})) return 1;
    struct Timing final : MonitorObserver {
        long first = 0, last = 0;
        double wall0 = 0, wall1 = 0, cpu0 = 0, cpu1 = 0;
        QElapsedTimer timer;
        void round(const MonitorRound& r) override {
            if (r.number == 1) {
                timer.start();
                cpu0 = cpuSeconds();
            }
            last = r.number;
            wall1 = double(timer.nsecsElapsed()) / 1e9;
            cpu1 = cpuSeconds();
        }
    };
    const bool glib =
        QByteArray(QCoreApplication::eventDispatcher()->metaObject()->className()).contains("Glib");
    out << "Lock monitor, paced at 5760 B/s; floor = 19 bytes an exchange / 5760; event loop "
        << (glib ? "GLib (as the windows run)" : "Qt's own (as meridan-cli runs)") << ".\n";
    bool ok = true;
    const struct {
        const char* what;
        MonitorChoice choice;
        int exchanges;
        long rounds;
    } modes[] = {
        {"all 12 converters, both locks", {-1, true}, 2 * ConverterCount, 60},
        {"converter 1, input lock", {0, false}, 1, 1500},
    };
    for (const auto& m : modes) {
        Timing timing;
        const Figures f = measure(sim.tty, 0, [&](Link& link) {
            LockMonitor monitor(link, timing);
            const MonitorOutcome o = monitor.run(m.choice, m.rounds);
            return o.end == MonitorEnd::Done && o.ended;
        });
        const double floor = m.exchanges * 19.0 / Link::LineBytesPerSecond;
        const double perRound = (timing.wall1) / double(timing.last - 1);
        const double cpuPerRound = (timing.cpu1 - timing.cpu0) / double(timing.last - 1);
        out << QStringLiteral(
                   "%1  %2 rounds/s (floor %3 ms a round, %4 rounds/s): %5% of the floor rate; "
                   "CPU %6 ms a round, %7% of a core%8\n")
                   .arg(QLatin1String(m.what), -30)
                   .arg(1.0 / perRound, 0, 'f', 1)
                   .arg(floor * 1000.0, 0, 'f', 1)
                   .arg(1.0 / floor, 0, 'f', 1)
                   .arg(floor / perRound * 100.0, 0, 'f', 1)
                   .arg(cpuPerRound * 1000.0, 0, 'f', 3)
                   .arg(cpuPerRound / perRound * 100.0, 0, 'f', 2)
                   .arg(f.ok ? QString() : QStringLiteral("  FAILED"));
        out.flush();
        ok = ok && f.ok;
    }
    return ok ? 0 : 1;
}

// A full read with every value read twice, against a plain read, paced: what --confirm costs.
int confirmBench(QTextStream& out) {
    Sim sim;
    if (!sim.start({QStringLiteral("--paced")})) return 1;
    out << "Full read, paced at 5760 B/s, plain and with every value read twice (--confirm);\n"
           "floor = 1.0 s of pauses + bytes on the wire / 5760.\n";
    bool ok = true;
    for (int r = 0; r < 2; ++r) {
        const Figures plain = measure(sim.tty, 1.0, readUnit);
        const Figures confirmed = measure(sim.tty, 1.0, readConfirmed);
        print(out, "read", plain);
        print(out, "read --confirm", confirmed);
        out << QStringLiteral(
                   "  --confirm costs %1 s (%2% of the plain read); its own floor is "
                   "%3 s more\n")
                   .arg(confirmed.wall - plain.wall, 0, 'f', 3)
                   .arg((confirmed.wall / plain.wall - 1.0) * 100.0, 0, 'f', 1)
                   .arg(confirmed.floor - plain.floor, 0, 'f', 3);
        out.flush();
        ok = ok && plain.ok && confirmed.ok;
    }
    return ok ? 0 : 1;
}

// A read and the lock monitor through Debian's ser2net in front of the paced simulator, with
// ser2net's defaults and as the README recommends, against the simulator's own TCP port.
int ser2netBench(QTextStream& out) {
    const QString ser2net = QStandardPaths::findExecutable(
        QStringLiteral("ser2net"), {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin")});
    if (ser2net.isEmpty()) {
        out << "ser2net is not installed: nothing to measure.\n";
        return 0;
    }
    Sim sim;
    if (!sim.start({QStringLiteral("--paced")})) return 1;
    out << "Through ser2net, paced unit on a pseudo-terminal (floor of a read: 1.310 s; of the "
           "monitor: 12.6 rounds/s)\n";
    bool ok = true;
    for (const bool recommended : {false, true}) {
        QTemporaryDir dir;
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        const quint16 port = probe.serverPort();
        probe.close();
        QFile conf(dir.filePath(QStringLiteral("ser2net.yaml")));
        if (!conf.open(QIODevice::WriteOnly)) return 1;
        conf.write(
            QStringLiteral("connection: &bench\n  accepter: %1,127.0.0.1,%2\n%3"
                           "  connector: serialdev,%4,57600n81,local\n")
                .arg(recommended ? QStringLiteral("tcp(nodelay)") : QStringLiteral("tcp"))
                .arg(port)
                .arg(recommended ? QStringLiteral("  options:\n    chardelay: false\n") : QString(),
                     sim.tty)
                .toUtf8());
        conf.close();
        QProcess server;
        server.start(ser2net, {QStringLiteral("-n"), QStringLiteral("-d"), QStringLiteral("-c"),
                               conf.fileName()});
        server.waitForStarted(5000);
        QThread::msleep(300);
        const QString address = QStringLiteral("tcp://127.0.0.1:%1").arg(port);
        const char* what = recommended ? "recommended" : "defaults";
        double delay = 0;
        const Figures read = measure(address, 1.0, [&](Link& link) {
            QObject::connect(&link, &Link::deviceServerDelay,
                             [&](const QString&, double s) { delay = s; });
            return readUnit(link);
        });
        // Rounds a second from the end of the first round to the end of the last.
        struct Count final : MonitorObserver {
            QElapsedTimer timer;
            long last = 0;
            double seconds = 0;
            void round(const MonitorRound& r) override {
                if (r.number == 1) timer.start();
                last = r.number;
                seconds = double(timer.nsecsElapsed()) / 1e9;
            }
        } count;
        const Figures monitor = measure(address, 0, [&](Link& link) {
            LockMonitor m(link, count);
            return m.run({-1, true}, 30).end == MonitorEnd::Done;
        });
        const long rounds = count.last - 1;
        const double seconds = count.seconds;
        out << QStringLiteral(
                   "ser2net %1  read %2 s (%3% over the floor)  monitor %4 rounds/s  "
                   "delay hint %5%6\n")
                   .arg(QLatin1String(what), -11)
                   .arg(read.wall, 0, 'f', 3)
                   .arg((read.wall / read.floor - 1.0) * 100.0, 0, 'f', 1)
                   .arg(double(rounds) / seconds, 0, 'f', 1)
                   .arg(delay > 0 ? QStringLiteral("%1 ms a reply").arg(delay * 1000.0, 0, 'f', 1)
                                  : QStringLiteral("none"))
                   .arg(read.ok && monitor.ok ? QString() : QStringLiteral("  FAILED"));
        out.flush();
        ok = ok && read.ok && monitor.ok;
        server.terminate();
        server.waitForFinished(3000);
    }
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("meridan-bench"));
    QCoreApplication::setApplicationVersion(QStringLiteral("%1.%2.%3")
                                                .arg(MERIDAN_VERSION_MAJOR)
                                                .arg(MERIDAN_VERSION_MINOR)
                                                .arg(MERIDAN_VERSION_PATCH));
    QTextStream out(stdout);
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Speed figures of the link against meridan-headend-sim: full reads and a write, paced "
        "at 5760 bytes/s and unpaced, a firmware upload, and a connection request to a unit "
        "that never answers, the lock monitor, the lock monitor served to phones, --confirm, "
        "ser2net (about 180 s in all)."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help."));
    const QCommandLineOption version(QStringLiteral("version"),
                                     QStringLiteral("Show the version."));
    const QCommandLineOption quickOption(QStringLiteral("quick"),
                                         QStringLiteral("Only the reads and writes."));
    const QCommandLineOption uploadOption(QStringLiteral("upload"),
                                          QStringLiteral("Only the firmware upload."));
    const QCommandLineOption monitorOption(QStringLiteral("monitor"),
                                           QStringLiteral("Only the lock monitor."));
    const QCommandLineOption fleetOption(
        QStringLiteral("fleet"),
        QStringLiteral("Only a fleet read: N paced simulated units over TCP at once, for each N "
                       "of a list such as 1/10/50/200."),
        QStringLiteral("N[/N...]"));
    const QCommandLineOption phonesOption(
        QStringLiteral("phones"),
        QStringLiteral("Only the lock monitor served to 8 phones: latency and rate."));
    const QCommandLineOption confirmOption(QStringLiteral("confirm"),
                                           QStringLiteral("Only a read with --confirm."));
    const QCommandLineOption ser2netOption(
        QStringLiteral("ser2net"), QStringLiteral("Only a read and the monitor through ser2net."));
    p.addOptions({help, version, quickOption, uploadOption, monitorOption, fleetOption,
                  phonesOption, confirmOption, ser2netOption});
    if (!p.parse(QCoreApplication::arguments()) || !p.positionalArguments().isEmpty()) {
        QTextStream(stderr) << "meridan-bench: "
                            << (p.errorText().isEmpty() ? QStringLiteral("takes no arguments")
                                                        : p.errorText())
                            << "\n\n"
                            << p.helpText();
        return 2;
    }
    if (p.isSet(help)) {
        out << p.helpText();
        return 0;
    }
    if (p.isSet(version)) {
        out << "meridan-bench " << QCoreApplication::applicationVersion() << '\n';
        return 0;
    }
    const bool quick = p.isSet(quickOption);
    if (p.isSet(uploadOption)) return uploadBench(out);
    if (p.isSet(monitorOption)) return monitorBench(out);
    if (p.isSet(phonesOption)) return phonesBench(out);
    if (p.isSet(confirmOption)) return confirmBench(out);
    if (p.isSet(ser2netOption)) return ser2netBench(out);
    if (p.isSet(fleetOption)) {
        QList<int> sizes;
        for (const QString& n : p.value(fleetOption).split(QLatin1Char('/'))) {
            bool ok = false;
            sizes << n.toInt(&ok);
            if (!ok || sizes.last() < 1 || sizes.last() > 1000) {
                QTextStream(stderr) << "meridan-bench: --fleet takes numbers of units from 1 to "
                                       "1000, separated by /: 1/10/50/200\n";
                return 2;
            }
        }
        return fleetBench(sizes, out);
    }
    const int runs = 3;
    out << "Full read and write over the real Qt serial port, " << runs << " runs each.\n"
        << "floor = mandated pauses + bytes on the wire / 5760; % = wall over floor.\n\n";

    for (const bool paced : {true, false}) {
        Sim sim;
        QStringList args;
        if (paced) args << QStringLiteral("--paced");
        if (!sim.start(args)) {
            out << "cannot start " << MERIDAN_SIM << "\n";
            return 1;
        }
        for (int r = 0; r < runs; ++r) {
            print(out, paced ? "read, paced 5760 B/s" : "read, unpaced",
                  measure(sim.tty, 1.0, readUnit));
        }
        print(out, paced ? "write, paced 5760 B/s" : "write, unpaced",
              measure(sim.tty, 6.0, writeUnit));
        out.flush();
    }

    if (!quick) {
        out << "\nFirmware upload (run alone: meridan-bench --upload):\n";
        out.flush();
        QProcess upload;
        upload.setProcessChannelMode(QProcess::ForwardedChannels);
        upload.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--upload")});
        upload.waitForFinished(120000);

        // The lock monitor with either event loop (run alone: meridan-bench --monitor).
        for (const bool glib : {true, false}) {
            out << "\n";
            out.flush();
            QProcess monitor;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            if (glib) {
                env.remove(QStringLiteral("QT_NO_GLIB"));
            } else {
                env.insert(QStringLiteral("QT_NO_GLIB"), QStringLiteral("1"));
            }
            monitor.setProcessEnvironment(env);
            monitor.setProcessChannelMode(QProcess::ForwardedChannels);
            monitor.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--monitor")});
            monitor.waitForFinished(120000);
        }

        out << "\nThe lock monitor served to phones (run alone: meridan-bench --phones):\n";
        out.flush();
        QProcess phones;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_NO_GLIB"), QStringLiteral("1"));  // as meridan-cli runs
        phones.setProcessEnvironment(env);
        phones.setProcessChannelMode(QProcess::ForwardedChannels);
        phones.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--phones")});
        phones.waitForFinished(120000);
        out << '\n';
        confirmBench(out);
        out << '\n';
        ser2netBench(out);

        Sim silent;
        if (!silent.start({QStringLiteral("--silent")})) return 1;
        out << "\nConnection request to a unit that never answers (about 50 s):\n";
        const Figures f = measure(silent.tty, 50.0, [](Link& link) { return link.connect_(); });
        out << QStringLiteral("connect, no answer          %1 s wall  %2 s CPU (%3% of wall)\n")
                   .arg(f.wall, 7, 'f', 3)
                   .arg(f.cpu, 6, 'f', 3)
                   .arg(f.cpu / f.wall * 100.0, 5, 'f', 3);
    }
    return 0;
}
