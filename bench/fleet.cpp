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

// CPU seconds of every process this one has waited for, and of theirs.
double childrenCpu() {
    rusage u{};
    getrusage(RUSAGE_CHILDREN, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
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

// A field of /proc/PID/smaps_rollup in KiB ("Rss", "Pss"); 0 when the process is gone.
double memoryKiB(qint64 pid, const QByteArray& field) {
    QFile f(QStringLiteral("/proc/%1/smaps_rollup").arg(pid));
    if (!f.open(QIODevice::ReadOnly)) return 0;
    for (const QByteArray& line : f.readAll().split('\n')) {
        if (line.startsWith(field + ':'))
            return line.mid(field.size() + 1).simplified().split(' ').value(0).toDouble();
    }
    return 0;
}

QList<qint64> childrenOf(qint64 pid) {
    QFile f(QStringLiteral("/proc/%1/task/%1/children").arg(pid));
    QList<qint64> pids;
    if (f.open(QIODevice::ReadOnly)) {
        for (const QByteArray& n : f.readAll().split(' '))
            if (n.toLongLong() > 0) pids << n.toLongLong();
    }
    return pids;
}

struct Memory {
    double fleetRss = 0;  // MiB
    double unitPss = 0;   // MiB, the largest share of one unit's process
    double unitRss = 0;   // MiB, most of it the pages a unit shares with the fleet
    double allPss = 0;    // MiB, the fleet and its units together, at the peak
    int unitsSeen = 0;
};

struct Timed {
    double wall = -1;
    int code = -1;
};

// Runs meridan-cli; with `memory`, looks at its processes every 100 ms meanwhile.
Timed runCli(const QStringList& args, Memory* memory = nullptr) {
    QProcess p;
    QElapsedTimer t;
    t.start();
    p.start(QStringLiteral(MERIDAN_CLI), args);
    Timed r;
    if (!memory) p.waitForFinished(120000);
    while (memory && !p.waitForFinished(100)) {
        if (p.state() == QProcess::NotRunning || t.elapsed() > 300000) break;
        const qint64 fleet = p.processId();
        memory->fleetRss = std::max(memory->fleetRss, memoryKiB(fleet, "Rss") / 1024);
        double all = memoryKiB(fleet, "Pss");
        const QList<qint64> units = childrenOf(fleet);
        memory->unitsSeen = std::max(memory->unitsSeen, int(units.size()));
        for (const qint64 unit : units) {
            const double pss = memoryKiB(unit, "Pss") / 1024;
            all += pss * 1024;
            memory->unitPss = std::max(memory->unitPss, pss);
            memory->unitRss = std::max(memory->unitRss, memoryKiB(unit, "Rss") / 1024);
        }
        memory->allPss = std::max(memory->allPss, all / 1024);
    }
    if (p.state() != QProcess::NotRunning) {
        p.kill();
        p.waitForFinished(5000);
        return r;
    }
    r.wall = double(t.nsecsElapsed()) / 1e9;
    r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return r;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int fleetBench(const QList<int>& sizes, QTextStream& out) {
    out << "Fleet read over TCP: paced simulated units (5760 B/s each, one meridan-headend-sim "
           "--units N), read at once by meridan-cli fleet (a forked process per unit), against "
           "one unit's meridan-cli read over the same kind of port. Wall: median of 3 runs; CPU: "
           "the fleet and its units, per unit; memory: a 4th run looked at every 100 ms.\n\n";
    int failures = 0;
    double single = 0;
    for (const int units : sizes) {
        meridan::sim::SimProcess sim{QStringLiteral(MERIDAN_SIM)};
        QStringList addresses{sim.start({QStringLiteral("--tcp"), QStringLiteral("127.0.0.1:0"),
                                         QStringLiteral("--units"), QString::number(units),
                                         QStringLiteral("--paced")})};
        addresses += sim.readLines(units - 1);
        if (addresses.size() < units || addresses[0].isEmpty()) {
            out << units << " units: the simulated units did not start\n";
            return 1;
        }
        if (single == 0) {
            std::vector<double> walls;
            for (int r = 0; r < 3; ++r) {
                const Timed t = runCli({QStringLiteral("--port"), addresses[0],
                                        QStringLiteral("read"), QStringLiteral("--json")});
                if (t.code != 0) {
                    out << "one unit's read FAILED\n";
                    return 1;
                }
                walls.push_back(t.wall);
            }
            single = median(walls);
            out << QStringLiteral("one unit, meridan-cli read: %1 s wall\n\n")
                       .arg(single, 0, 'f', 3);
            out << "Units  Fleet wall   x one unit  (min-max)    CPU per unit  Simulator CPU  "
                   "At once  Peak memory: fleet RSS, a unit's own (PSS) / RSS, all (PSS)\n";
            out.flush();
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
        const QString report = dir.filePath(QStringLiteral("report.json"));
        const QStringList args{QStringLiteral("fleet"), inventory, QStringLiteral("read"),
                               QStringLiteral("--report"), report};
        std::vector<double> walls;
        const double cpu0 = childrenCpu();
        const double simCpu0 = processCpu(sim.process().processId());
        int ok = 0, atOnce = 0;
        for (int r = 0; r < 3; ++r) {
            const Timed t = runCli(args);
            walls.push_back(t.wall);
            QFile rf(report);
            const QJsonObject o = rf.open(QIODevice::ReadOnly)
                                      ? QJsonDocument::fromJson(rf.readAll()).object()
                                      : QJsonObject();
            ok = o.value(QStringLiteral("counts")).toObject().value(QStringLiteral("ok")).toInt();
            atOnce = o.value(QStringLiteral("units_at_once")).toInt();
            if (t.code != 0 || ok != units) ++failures;
        }
        const double cpu = (childrenCpu() - cpu0) / 3;
        const double simCpu = (processCpu(sim.process().processId()) - simCpu0) / 3;
        Memory memory;
        runCli(args, &memory);
        const double wall = median(walls);
        out << QStringLiteral(
                   "%1  %2 s  %3 x  (%4-%5)  %6 s       %7 s         %8     "
                   "%9 MiB, %10 / %11 MiB, %12 MiB%13\n")
                   .arg(units, 5)
                   .arg(wall, 7, 'f', 3)
                   .arg(wall / single, 5, 'f', 2)
                   .arg(*std::min_element(walls.begin(), walls.end()) / single, 0, 'f', 2)
                   .arg(*std::max_element(walls.begin(), walls.end()) / single, 0, 'f', 2)
                   .arg(cpu / units, 0, 'f', 4)
                   .arg(simCpu, 5, 'f', 2)
                   .arg(atOnce, 4)
                   .arg(memory.fleetRss, 0, 'f', 1)
                   .arg(memory.unitPss, 0, 'f', 2)
                   .arg(memory.unitRss, 0, 'f', 1)
                   .arg(memory.allPss, 0, 'f', 1)
                   .arg(ok == units
                            ? QString()
                            : QStringLiteral("  FAILED: %1 of %2 units read").arg(ok).arg(units));
        out.flush();
    }
    out << "\nTarget: 50 units in at most 1.15 x one unit's read; 200 units complete under the "
           "default limits.\n";
    return failures == 0 ? 0 : 1;
}
