#include "fleet.h"

#include <sys/resource.h>
#include <unistd.h>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <vector>

#include "sim/simprocess.h"

namespace {

struct Children {
    double cpu = 0;
    double peakMiB = 0;
};

// CPU and peak memory of every process this one has waited for, and their children's.
Children children() {
    rusage u{};
    getrusage(RUSAGE_CHILDREN, &u);
    return {double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
                double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6,
            double(u.ru_maxrss) / 1024.0};
}

// CPU seconds a running process has used so far.
double processCpu(qint64 pid) {
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly)) return 0;
    const QByteArray line = f.readAll();
    // The fields after the command name, which is in parentheses: utime is the 12th.
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13) return 0;
    return (fields[11].toDouble() + fields[12].toDouble()) / double(::sysconf(_SC_CLK_TCK));
}

struct Timed {
    double wall = -1;
    int code = -1;
    QByteArray out;
};

Timed runCli(const QStringList& args) {
    QProcess p;
    QElapsedTimer t;
    t.start();
    p.start(QStringLiteral(MERIDAN_CLI), args);
    Timed r;
    if (!p.waitForFinished(120000)) {
        p.kill();
        p.waitForFinished(5000);
        return r;
    }
    r.wall = double(t.nsecsElapsed()) / 1e9;
    r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    return r;
}

}  // namespace

int fleetBench(int units, QTextStream& out) {
    meridan::sim::SimProcess sim{QStringLiteral(MERIDAN_SIM)};
    QStringList addresses{
        sim.start({QStringLiteral("--tcp"), QStringLiteral("127.0.0.1:0"),
                   QStringLiteral("--units"), QString::number(units), QStringLiteral("--paced")})};
    addresses += sim.readLines(units - 1);
    if (addresses.size() < units || addresses[0].isEmpty()) {
        out << "the simulated units did not start\n";
        return 1;
    }
    QTemporaryDir dir;
    const QString inventory = dir.filePath(QStringLiteral("units.csv"));
    {
        QFile f(inventory);
        if (!f.open(QIODevice::WriteOnly)) return 1;
        f.write("name,port\n");
        for (int k = 0; k < units; ++k)
            f.write(QStringLiteral("unit-%1,%2\n").arg(k + 1).arg(addresses[k]).toUtf8());
    }

    out << "Fleet read over TCP: " << units
        << " paced simulated units (5760 B/s each, one meridan-headend-sim), read at once by "
           "meridan-cli fleet, a meridan-cli process per unit.\n\n";
    std::vector<double> singles;
    for (int r = 0; r < 3; ++r) {
        const Timed t = runCli({QStringLiteral("--port"), addresses[r % units],
                                QStringLiteral("read"), QStringLiteral("--json")});
        if (t.code != 0) {
            out << "one unit's read FAILED\n";
            return 1;
        }
        singles.push_back(t.wall);
    }
    std::sort(singles.begin(), singles.end());
    const double single = singles[1];
    const Children afterSingles = children();
    out << QStringLiteral("one unit, meridan-cli read     %1 s wall (median of 3)\n")
               .arg(single, 6, 'f', 3);
    out.flush();

    const QString report = dir.filePath(QStringLiteral("report.json"));
    const double simCpu0 = processCpu(sim.process().processId());
    const Timed fleet = runCli({QStringLiteral("fleet"), inventory, QStringLiteral("read"),
                                QStringLiteral("--report"), report});
    const double simCpu = processCpu(sim.process().processId()) - simCpu0;
    const Children afterFleet = children();
    QFile rf(report);
    int ok = 0;
    if (rf.open(QIODevice::ReadOnly)) {
        ok = QJsonDocument::fromJson(rf.readAll())
                 .object()
                 .value(QStringLiteral("counts"))
                 .toObject()
                 .value(QStringLiteral("ok"))
                 .toInt();
    }
    const double cpu = afterFleet.cpu - afterSingles.cpu;
    out << QStringLiteral(
               "%1 units, meridan-cli fleet   %2 s wall = %3 x one unit's read "
               "(target: at most 1.2 x)%4\n")
               .arg(units, 3)
               .arg(fleet.wall, 6, 'f', 3)
               .arg(fleet.wall / single, 0, 'f', 2)
               .arg(ok == units
                        ? QString()
                        : QStringLiteral("  FAILED: %1 of %2 units read").arg(ok).arg(units));
    out << QStringLiteral(
               "CPU: %1 s per unit (%2 s for all meridan-cli processes, %3% of one "
               "core over the run); the simulator %4 s\n")
               .arg(cpu / units, 0, 'f', 3)
               .arg(cpu, 0, 'f', 2)
               .arg(cpu / fleet.wall * 100.0, 0, 'f', 0)
               .arg(simCpu, 0, 'f', 2);
    out << QStringLiteral(
               "memory: a unit's meridan-cli peaks at %1 MiB; the largest process of "
               "the fleet run at %2 MiB\n")
               .arg(afterSingles.peakMiB, 0, 'f', 1)
               .arg(afterFleet.peakMiB, 0, 'f', 1);
    return ok == units && fleet.code == 0 ? 0 : 1;
}
