#include "fleet.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSettings>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTimer>
#include <csignal>
#include <functional>
#include <memory>
#include <vector>

#include "clitool.h"
#include "link/portmap.h"
#include "link/tcpport.h"
#include "plan/inputfiles.h"
#include "plan/profile.h"
#include "protocol/display.h"
#include "protocol/firmware.h"

namespace meridan::cli {

using namespace meridan::plan;

namespace {

const char* const FleetUsage =
    "Usage: meridan-cli fleet INVENTORY VERB [FILE] [--jobs N] [--report FILE.json]\n"
    "                         [--backup-dir DIR | --no-backup]\n"
    "\n"
    "Runs VERB on every unit of the inventory at once, each unit by a meridan-cli of its own,\n"
    "with the single-unit command's behaviour, backups and checks:\n"
    "  read            read each unit (the report keeps each unit's record, as read --json)\n"
    "  diff [PLAN]     compare each unit with its profile\n"
    "  write [PLAN]    back up, write, store and read back each unit's profile\n"
    "  flash [IMAGE]   send each unit its firmware image\n"
    "A profile or image given after the verb is used for every unit the inventory gives none.\n"
    "\n"
    "The inventory is CSV, a header line and a line per unit:\n"
    "  name,port,profile,image\n"
    "  cabinet-3,tcp://cabinet-3.example:4001,plans/roof.json,\n"
    "(profile and image may be left out or empty; fields with commas in double quotes; blank\n"
    "lines and lines starting with # are skipped) or JSON, a list of objects with those keys.\n"
    "Ports are as for --port: Com1 to Com15, a device path, tcp://HOST:PORT or\n"
    "rfc2217://HOST:PORT; relative file paths are taken from the inventory's folder. The\n"
    "inventory, every profile and image, the report's folder and the backup folder are\n"
    "checked before any unit is touched.\n"
    "\n"
    "  --jobs N           at most N units at a time (default: all)\n"
    "  --report FILE      write every unit's result as JSON to FILE\n"
    "  --backup-dir DIR   write: where every unit's backup is saved\n"
    "  --no-backup        write: leave out the backup read\n"
    "\n"
    "On a terminal a line per unit shows its state as it goes; a table of every unit's\n"
    "result, time and what differed or failed follows at the end.\n"
    "\n"
    "Exit codes: 0 every unit done; 4 some units differ (diff, write: fields a unit did not\n"
    "take; read: values outside the range a unit reports), none failed; 1 any unit failed;\n"
    "2 bad usage or input (no unit was touched); 130 interrupted by Ctrl+C (143: SIGTERM,\n"
    "129: SIGHUP); the report is written either way.\n";

// What is kept of a unit's output; a flash's progress lines are not kept.
constexpr qsizetype OutputLimit = 1024 * 1024;

// ---------------------------------------------------------------------------------------
// Signals: the first Ctrl+C, SIGTERM or SIGHUP (the terminal or the SSH session closed) lets
// the running units finish the exchange in progress, the second stops them at once; both are
// passed on to every running unit, which runs in a process group of its own so the terminal's
// signal reaches only this tool. A third ends this tool at once. The report is written either
// way, unless the third came.

int fleetPipe[2] = {-1, -1};
volatile sig_atomic_t fleetSignalsSeen = 0;

void onFleetSignal(int sig) {
    const sig_atomic_t seen = fleetSignalsSeen;
    fleetSignalsSeen = seen + 1;
    if (seen >= 2) {
        static const char text[] = "\nmeridan-cli: stopped at once\n";
        [[maybe_unused]] const ssize_t w = ::write(STDERR_FILENO, text, sizeof text - 1);
        ::_exit(128 + sig);
    }
    const char c = static_cast<char>(sig);
    [[maybe_unused]] const ssize_t n = ::write(fleetPipe[1], &c, 1);
}

class FleetSignals {
  public:
    explicit FleetSignals(std::function<void(int)> handler) : handler_(std::move(handler)) {
        if (::pipe2(fleetPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
        fleetSignalsSeen = 0;
        struct sigaction sa {};
        sa.sa_handler = onFleetSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        for (const int sig : {SIGINT, SIGTERM, SIGHUP})
            ::sigaction(sig, &sa, nullptr);
        notifier_ = std::make_unique<QSocketNotifier>(fleetPipe[0], QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] {
            char c = 0;
            while (::read(fleetPipe[0], &c, 1) == 1) {
                if (first_ == 0) first_ = c;
                handler_(c);
            }
        });
    }
    ~FleetSignals() {
        if (fleetPipe[0] < 0) return;
        for (const int sig : {SIGINT, SIGTERM, SIGHUP})
            std::signal(sig, SIG_DFL);
        notifier_.reset();
        ::close(fleetPipe[0]);
        ::close(fleetPipe[1]);
        fleetPipe[0] = fleetPipe[1] = -1;
    }
    FleetSignals(const FleetSignals&) = delete;
    FleetSignals& operator=(const FleetSignals&) = delete;
    // The first signal that came, 0 while none did.
    int first() const { return first_; }

  private:
    std::function<void(int)> handler_;
    std::unique_ptr<QSocketNotifier> notifier_;
    int first_ = 0;
};

// ---------------------------------------------------------------------------------------
// Running the units

enum class Phase { Waiting, Running, Done };

struct UnitRun {
    FleetUnit unit;
    std::unique_ptr<QProcess> process;
    Phase phase = Phase::Waiting;
    QString result;  // ok, differs, failed, interrupted, not run
    int exitCode = -1;
    double start = 0;
    double seconds = 0;
    QByteArray out;
    QByteArray errPending;  // an unfinished line of stderr
    QStringList messages;
    QString progress;
    QString detail;
    QStringList differences;
    QJsonObject plan;
    bool outTruncated = false;
};

bool isProgressLine(const QString& line) {
    static const QRegularExpression re(QStringLiteral("^\\s*\\d+%\\s+sector"));
    return re.match(line).hasMatch();
}

QString secondsText(double s) {
    return QStringLiteral("%1 s").arg(s, 0, 'f', 1);
}

class Fleet {
  public:
    Fleet(QString verb, QList<FleetUnit> units, int jobs, QStringList writeOptions,
          QTextStream& err, bool terminal)
        : verb_(std::move(verb)),
          jobs_(jobs),
          writeOptions_(std::move(writeOptions)),
          err_(err),
          terminal_(terminal) {
        for (const FleetUnit& u : units) {
            runs_.push_back(std::make_unique<UnitRun>());
            runs_.back()->unit = u;
        }
    }

    // Runs every unit; returns when the last has ended.
    void run() {
        clock_.start();
        FleetSignals watch([this](int sig) { onSignal(sig); });
        QTimer redraw;
        if (terminal_) {
            QObject::connect(&redraw, &QTimer::timeout, [this] { draw(); });
            redraw.start(250);
        }
        startMore();
        draw();
        if (running_ > 0) loop_.exec();
        draw();
        interruptedBy_ = watch.first();
    }

    int interruptedBy() const { return interruptedBy_; }
    double seconds() const { return double(clock_.nsecsElapsed()) / 1e9; }
    const std::vector<std::unique_ptr<UnitRun>>& runs() const { return runs_; }

  private:
    QStringList childArguments(const FleetUnit& u) const {
        QStringList a{QStringLiteral("--port"), u.port, verb_};
        if (verb_ == QLatin1String("read")) a << QStringLiteral("--json");
        if (verb_ == QLatin1String("diff") || verb_ == QLatin1String("write")) a << u.profile;
        if (verb_ == QLatin1String("flash")) a << u.image;
        if (verb_ == QLatin1String("write")) a << writeOptions_;
        return a;
    }

    void startMore() {
        for (auto& r : runs_) {
            if (running_ >= jobs_ || stopping_) return;
            if (r->phase == Phase::Waiting) start(*r);
        }
    }

    void start(UnitRun& r) {
        r.phase = Phase::Running;
        r.start = seconds();
        ++running_;
        r.process = std::make_unique<QProcess>();
        QProcess* p = r.process.get();
        p->setProgram(QCoreApplication::applicationFilePath());
        p->setArguments(childArguments(r.unit));
        p->setStandardInputFile(QProcess::nullDevice());
        // The terminal's Ctrl+C reaches this tool only, which passes it on.
        p->setChildProcessModifier([] { ::setpgid(0, 0); });
        QObject::connect(p, &QProcess::readyReadStandardOutput, [this, &r] { takeOutput(r); });
        QObject::connect(p, &QProcess::readyReadStandardError, [this, &r] { takeErrors(r); });
        QObject::connect(p, &QProcess::finished, [this, &r](int code, QProcess::ExitStatus s) {
            finish(r, s == QProcess::NormalExit ? code : -1);
        });
        QObject::connect(p, &QProcess::errorOccurred, [this, &r](QProcess::ProcessError e) {
            if (e == QProcess::FailedToStart) {
                r.messages << QStringLiteral("meridan-cli could not be started: %1")
                                  .arg(r.process->errorString());
                finish(r, -2);
            }
        });
        if (!terminal_) {
            err_ << QStringLiteral("[%1] %2: started on %3")
                        .arg(secondsText(r.start), r.unit.name, r.unit.port)
                 << Qt::endl;
        }
        p->start();
    }

    void takeOutput(UnitRun& r) {
        const QByteArray bytes = r.process->readAllStandardOutput();
        if (r.out.size() + bytes.size() > OutputLimit) {
            r.outTruncated = true;
            r.out.append(bytes.left(OutputLimit - r.out.size()));
        } else {
            r.out.append(bytes);
        }
    }

    void takeErrors(UnitRun& r) {
        r.errPending.append(r.process->readAllStandardError());
        qsizetype nl;
        while ((nl = r.errPending.indexOf('\n')) >= 0) {
            takeErrorLine(r, QString::fromLocal8Bit(r.errPending.left(nl)));
            r.errPending.remove(0, nl + 1);
        }
        // A progress line redrawn in place by carriage returns counts as a line too.
        if (r.errPending.size() > 4096) {
            takeErrorLine(r, QString::fromLocal8Bit(r.errPending));
            r.errPending.clear();
        }
    }

    void takeErrorLine(UnitRun& r, QString line) {
        line = line.section(QLatin1Char('\r'), -1).trimmed();
        if (line.isEmpty()) return;
        if (isProgressLine(line)) {
            r.progress = line.simplified();
            return;
        }
        qsizetype kept = 0;
        for (const QString& m : r.messages)
            kept += m.size();
        if (kept < OutputLimit) r.messages << line;
    }

    void finish(UnitRun& r, int code) {
        if (r.phase != Phase::Running) return;
        if (code != -2) {
            takeOutput(r);
            takeErrors(r);
            if (!r.errPending.isEmpty()) takeErrorLine(r, QString::fromLocal8Bit(r.errPending));
            r.errPending.clear();
        }
        r.phase = Phase::Done;
        r.seconds = seconds() - r.start;
        r.exitCode = code;
        classify(r);
        --running_;
        if (!terminal_) {
            err_ << QStringLiteral("[%1] %2: %3 (%4)%5")
                        .arg(secondsText(seconds()), r.unit.name, r.result, secondsText(r.seconds),
                             r.detail.isEmpty() ? QString() : QStringLiteral(": ") + r.detail)
                 << Qt::endl;
        }
        // The process object stays until the fleet is done: this is its own notification.
        startMore();
        if (running_ == 0) loop_.quit();
    }

    // What the unit's meridan-cli said, in one line: "Connect Error: Connection could not be
    // established!; the unit could not be read for the backup; nothing was written".
    static QString messagesOf(const UnitRun& r) {
        QStringList said;
        for (QString m : r.messages) {
            if (m.startsWith(QLatin1String("Waiting for the module")) ||
                m.startsWith(QLatin1String("Sending"))) {
                continue;
            }
            if (m.startsWith(QLatin1String("meridan-cli: "))) m = m.mid(13);
            // Its notice of the Ctrl+C this tool passed on.
            if (m.startsWith(QLatin1String("Ctrl+C")) || m.startsWith(QLatin1String("SIGTERM")) ||
                m.startsWith(QLatin1String("SIGHUP")))
                continue;
            said << m.trimmed();
        }
        return said.join(QStringLiteral("; "));
    }

    void classify(UnitRun& r) {
        const QString out = QString::fromLocal8Bit(r.out);
        QStringList lines = out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        if (verb_ == QLatin1String("read")) {
            r.plan = QJsonDocument::fromJson(r.out).object();
        }
        if (r.exitCode == 0) {
            r.result = QStringLiteral("ok");
            if (verb_ == QLatin1String("read")) {
                const QJsonObject unit = r.plan.value(QStringLiteral("unit")).toObject();
                r.detail = QStringLiteral("%1, serial %2")
                               .arg(printableText(unit.value(QStringLiteral("type")).toString()))
                               .arg(unit.value(QStringLiteral("serial")).toInteger());
            } else if (verb_ == QLatin1String("diff")) {
                r.detail = QStringLiteral("no differences");
            } else if (verb_ == QLatin1String("write")) {
                r.detail = QStringLiteral("written, stored and read back");
                for (const QString& l : lines) {
                    if (l.startsWith(QLatin1String("Backup of the unit's plan: ")))
                        r.detail += QStringLiteral("; backup ") + l.mid(27);
                }
            } else {
                r.detail = lines.isEmpty() ? QString() : lines.last();
            }
            return;
        }
        if (r.exitCode == ExitDifferences) {
            r.result = QStringLiteral("differs");
            if (verb_ == QLatin1String("diff")) {
                r.differences = lines;
            } else if (verb_ == QLatin1String("write")) {
                for (qsizetype at = 0; at < lines.size(); ++at) {
                    if (lines[at].startsWith(QLatin1String("Read back: the unit did not take")))
                        r.differences = lines.mid(at + 1);
                }
            } else {
                for (const QString& m : r.messages) {
                    if (m.startsWith(QLatin1String("  "))) r.differences << m.trimmed();
                }
            }
            const bool one = r.differences.size() == 1;
            const QString what =
                verb_ == QLatin1String("diff")
                    ? (one ? QStringLiteral("difference") : QStringLiteral("differences"))
                : verb_ == QLatin1String("write")
                    ? (one ? QStringLiteral("field not taken") : QStringLiteral("fields not taken"))
                    : (one ? QStringLiteral("unusual value") : QStringLiteral("unusual values"));
            r.detail = QStringLiteral("%1 %2").arg(r.differences.size()).arg(what);
            if (!r.differences.isEmpty()) r.detail += QStringLiteral(": ") + r.differences.first();
            if (r.differences.size() > 1)
                r.detail += QStringLiteral(" (+%1 more)").arg(r.differences.size() - 1);
            return;
        }
        r.result = QStringLiteral("failed");
        QString why = messagesOf(r);
        if (r.exitCode == -1) {
            why = QStringLiteral("meridan-cli crashed") +
                  (why.isEmpty() ? QString() : QStringLiteral(" after: ") + why);
        } else if (r.exitCode == 128 + SIGINT || r.exitCode == 128 + SIGTERM ||
                   r.exitCode == 128 + SIGHUP) {
            r.result = QStringLiteral("interrupted");
            if (!why.contains(QLatin1String("interrupted"))) {
                why = QStringLiteral("interrupted") +
                      (why.isEmpty() ? QString() : QStringLiteral(": ") + why);
            }
        }
        if (why.isEmpty()) why = QStringLiteral("exit code %1").arg(r.exitCode);
        r.detail = why;
    }

    void onSignal(int sig) {
        ++signals_;
        const QString name = sig == SIGTERM  ? QStringLiteral("SIGTERM")
                             : sig == SIGHUP ? QStringLiteral("SIGHUP")
                                             : QStringLiteral("Ctrl+C");
        stopping_ = true;
        int left = 0;
        for (auto& r : runs_) {
            if (r->phase == Phase::Waiting) {
                r->phase = Phase::Done;
                r->result = QStringLiteral("not run");
                r->detail = QStringLiteral("interrupted before it started");
                ++left;
            } else if (r->phase == Phase::Running && r->process) {
                if (const qint64 pid = r->process->processId(); pid > 0)
                    ::kill(static_cast<pid_t>(pid), sig);
            }
        }
        err_ << '\n'
             << (signals_ == 1
                     ? QStringLiteral("meridan-cli: %1: each running unit finishes the exchange "
                                      "in progress and ends its communication; %2 not started "
                                      "%3 left out (%1 again stops them at once)")
                           .arg(name)
                           .arg(left == 1 ? QStringLiteral("1 unit")
                                          : QStringLiteral("%1 units").arg(left))
                           .arg(left == 1 ? QStringLiteral("is") : QStringLiteral("are"))
                     : QStringLiteral("meridan-cli: %1 again: the running units stop at once")
                           .arg(name))
             << Qt::endl;
        drawn_ = 0;
        if (running_ == 0) loop_.quit();
    }

    QString stateText(const UnitRun& r) const {
        switch (r.phase) {
            case Phase::Waiting:
                return QStringLiteral("waiting");
            case Phase::Running:
                return r.progress.isEmpty()
                           ? QStringLiteral("%1 %2").arg(verb_, secondsText(seconds() - r.start))
                           : r.progress;
            case Phase::Done:
                break;
        }
        return QStringLiteral("%1 %2%3").arg(
            r.result, secondsText(r.seconds),
            r.detail.isEmpty() ? QString() : QStringLiteral("  ") + r.detail);
    }

    // Terminal: a line per unit, redrawn in place; only the counts when they do not fit.
    void draw() {
        if (!terminal_) return;
        winsize ws{};
        int rows = 24, cols = 80;
        if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_row > 0) {
            rows = ws.ws_row;
            cols = ws.ws_col;
        }
        int waiting = 0, done = 0;
        qsizetype nameWidth = 4, portWidth = 4;
        for (const auto& r : runs_) {
            waiting += r->phase == Phase::Waiting;
            done += r->phase == Phase::Done;
            nameWidth = std::max(nameWidth, r->unit.name.size());
            portWidth = std::max(portWidth, r->unit.port.size());
        }
        QStringList lines{QStringLiteral("fleet %1: %2 done, %3 running, %4 waiting  %5")
                              .arg(verb_)
                              .arg(done)
                              .arg(running_)
                              .arg(waiting)
                              .arg(secondsText(seconds()))};
        if (qsizetype(runs_.size()) + 1 < rows) {
            for (const auto& r : runs_) {
                lines << QStringLiteral("  %1  %2  %3")
                             .arg(r->unit.name, -int(nameWidth))
                             .arg(r->unit.port, -int(portWidth))
                             .arg(stateText(*r));
            }
        }
        if (drawn_ > 0) err_ << "\x1b[" << drawn_ << 'A';
        for (QString l : lines) {
            if (l.size() >= cols) l = l.left(cols - 1);
            err_ << '\r' << l << "\x1b[K\n";
        }
        err_.flush();
        drawn_ = int(lines.size());
    }

    QString verb_;
    int jobs_;
    QStringList writeOptions_;
    QTextStream& err_;
    bool terminal_;
    std::vector<std::unique_ptr<UnitRun>> runs_;
    QEventLoop loop_;
    QElapsedTimer clock_;
    int running_ = 0;
    int drawn_ = 0;
    int signals_ = 0;
    int interruptedBy_ = 0;
    bool stopping_ = false;
};

// ---------------------------------------------------------------------------------------
// Summary and report

void printSummary(const Fleet& fleet, QTextStream& out) {
    qsizetype nameWidth = 4, portWidth = 4, resultWidth = 6;
    for (const auto& r : fleet.runs()) {
        nameWidth = std::max(nameWidth, r->unit.name.size());
        portWidth = std::max(portWidth, r->unit.port.size());
        resultWidth = std::max(resultWidth, r->result.size());
    }
    auto row = [&](const QString& a, const QString& b, const QString& c, const QString& d,
                   const QString& e) {
        out << QStringLiteral("%1  %2  %3  %4  %5")
                   .arg(a, -int(nameWidth))
                   .arg(b, -int(portWidth))
                   .arg(c, -int(resultWidth))
                   .arg(d, 7)
                   .arg(e)
                   .trimmed()
            << '\n';
    };
    out << '\n';
    row(QStringLiteral("Unit"), QStringLiteral("Port"), QStringLiteral("Result"),
        QStringLiteral("Time"), QStringLiteral("Details"));
    QHash<QString, int> counts;
    for (const auto& r : fleet.runs()) {
        row(r->unit.name, r->unit.port, r->result,
            r->result == QLatin1String("not run") ? QString() : secondsText(r->seconds), r->detail);
        ++counts[r->result];
    }
    QStringList parts;
    for (const char* k : {"ok", "differs", "failed", "interrupted", "not run"}) {
        if (counts.value(QLatin1String(k)) > 0)
            parts << QStringLiteral("%1 %2")
                         .arg(counts.value(QLatin1String(k)))
                         .arg(QLatin1String(k));
    }
    out << '\n'
        << fleet.runs().size() << (fleet.runs().size() == 1 ? " unit: " : " units: ")
        << parts.join(QStringLiteral(", ")) << "; " << secondsText(fleet.seconds()) << " in all\n";
    out.flush();
}

QJsonObject reportOf(const Fleet& fleet, const QString& verb, const QString& inventory,
                     const QDateTime& started, int exitCode) {
    QJsonArray units;
    QJsonObject counts;
    for (const auto& r : fleet.runs()) {
        QJsonObject u{{"name", r->unit.name},
                      {"port", r->unit.port},
                      {"result", r->result},
                      {"detail", r->detail},
                      {"messages", QJsonArray::fromStringList(r->messages)}};
        if (r->result != QLatin1String("not run")) {
            u["exit_code"] = r->exitCode;
            u["seconds"] = std::round(r->seconds * 1000.0) / 1000.0;
        }
        if (verb == QLatin1String("diff") || verb == QLatin1String("write")) {
            u["profile"] = r->unit.profile;
            if (r->result != QLatin1String("not run"))
                u["differences"] = QJsonArray::fromStringList(r->differences);
        }
        if (verb == QLatin1String("flash")) u["image"] = r->unit.image;
        if (verb == QLatin1String("read")) {
            if (!r->plan.isEmpty()) u["plan"] = r->plan;
        } else if (!r->out.isEmpty()) {
            u["output"] = QString::fromLocal8Bit(r->out);
        }
        if (r->outTruncated) u["output_truncated"] = true;
        counts[r->result] = counts[r->result].toInt() + 1;
        units.append(u);
    }
    return QJsonObject{{"command", verb},
                       {"inventory", inventory},
                       {"started", started.toString(Qt::ISODate)},
                       {"seconds", std::round(fleet.seconds() * 1000.0) / 1000.0},
                       {"exit_code", exitCode},
                       {"counts", counts},
                       {"units", units}};
}

// Whether the report can be written there, before any unit is touched.
bool reportWritable(const QString& path, QString* why) {
    const QFileInfo info(path);
    if (info.exists() && !info.isFile()) {
        *why = QStringLiteral("is not a regular file");
        return false;
    }
    QSaveFile probe(path);
    if (!probe.open(QIODevice::WriteOnly)) {
        *why = probe.errorString();
        return false;
    }
    probe.cancelWriting();
    return true;
}

}  // namespace

int runFleet(const QStringList& arguments, QTextStream& out, QTextStream& err) {
    QCommandLineParser p;
    p.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help."));
    const QCommandLineOption jobsOption(QStringLiteral("jobs"), QStringLiteral("Units at a time."),
                                        QStringLiteral("N"));
    const QCommandLineOption reportOption(QStringLiteral("report"), QStringLiteral("JSON report."),
                                          QStringLiteral("FILE"));
    const QCommandLineOption backupDir(QStringLiteral("backup-dir"),
                                       QStringLiteral("write: backup folder."),
                                       QStringLiteral("DIR"));
    const QCommandLineOption noBackup(QStringLiteral("no-backup"),
                                      QStringLiteral("write: no backup."));
    p.addOptions({help, jobsOption, reportOption, backupDir, noBackup});
    auto usageError = [&](const QString& why) {
        err << "meridan-cli fleet: " << why << "\n\n" << FleetUsage;
        return int(ExitBadInput);
    };
    if (!p.parse(QStringList{QStringLiteral("meridan-cli")} + arguments))
        return usageError(p.errorText());
    if (p.isSet(help)) {
        out << FleetUsage;
        return ExitOk;
    }
    const QStringList args = p.positionalArguments();
    if (args.size() < 2) return usageError(QStringLiteral("an inventory and a verb are needed"));
    if (args.size() > 3) return usageError(QStringLiteral("too many arguments"));
    const QString inventory = args[0];
    const QString verb = args[1];
    const QStringList verbs{QStringLiteral("read"), QStringLiteral("diff"), QStringLiteral("write"),
                            QStringLiteral("flash")};
    if (!verbs.contains(verb)) {
        return usageError(
            QStringLiteral("unknown verb \"%1\" (read, diff, write or flash)").arg(verb));
    }
    const bool isRead = verb == QLatin1String("read");
    const bool isWrite = verb == QLatin1String("write");
    const bool isFlash = verb == QLatin1String("flash");
    if (isRead && args.size() == 3) return usageError(QStringLiteral("read takes no file"));
    if ((p.isSet(backupDir) || p.isSet(noBackup)) && !isWrite)
        return usageError(QStringLiteral("--backup-dir and --no-backup belong to write"));
    if (p.isSet(backupDir) && p.isSet(noBackup))
        return usageError(QStringLiteral("--backup-dir and --no-backup exclude each other"));

    QString why;
    const auto text = readRegularFile(inventory, ProfileMaxBytes, &why);
    if (!text) {
        err << "meridan-cli: " << inventory << ": "
            << why.replace(QStringLiteral("a profile"), QStringLiteral("an inventory")) << Qt::endl;
        return ExitBadInput;
    }
    auto parsed = parseInventory(*text, QFileInfo(inventory).absolutePath());
    if (auto* e = std::get_if<QString>(&parsed)) {
        err << "meridan-cli: " << inventory << ": " << *e << Qt::endl;
        return ExitBadInput;
    }
    QList<FleetUnit> units = std::get<QList<FleetUnit>>(parsed);
    int jobs = int(units.size());
    if (p.isSet(jobsOption)) {
        bool ok = false;
        jobs = p.value(jobsOption).toInt(&ok);
        if (!ok || jobs < 1 || jobs > FleetMaxUnits)
            return usageError(QStringLiteral("--jobs takes 1 to %1").arg(FleetMaxUnits));
    }

    // Two units on one port would talk over each other.
    if (const QString problem = unusableSettingsFile(); !problem.isEmpty()) {
        err << "meridan-cli: " << problem << "; no unit was touched" << Qt::endl;
        return ExitBadInput;
    }
    QSettings settings(SettingsOrganisation, ApplicationTitle);
    const PortMap map(&settings);
    QHash<QString, const FleetUnit*> ports;
    for (const FleetUnit& u : units) {
        const int n = parseComName(u.port);
        QString device = n > 0 ? map.devicePath(n) : u.port;
        if (isNetworkAddress(device)) device = device.trimmed().toLower();
        if (const FleetUnit* other = ports.value(device)) {
            err << "meridan-cli: " << inventory << ": " << describeUnit(*other) << " and "
                << describeUnit(u) << " are on the same port (" << printablePath(device) << ")"
                << Qt::endl;
            return ExitBadInput;
        }
        ports.insert(device, &u);
    }

    // Every file a unit needs is checked before any unit is touched.
    const QString given = args.size() == 3 ? QFileInfo(args[2]).absoluteFilePath() : QString();
    QHash<QString, QString> checked;  // path -> problem ("" when good)
    for (FleetUnit& u : units) {
        if (isRead) continue;
        QString& file = isFlash ? u.image : u.profile;
        if (file.isEmpty()) file = given;
        if (file.isEmpty()) {
            err << "meridan-cli: " << inventory << ": " << describeUnit(u) << " has no "
                << (isFlash ? "image" : "profile") << ", and none is given after " << verb
                << Qt::endl;
            return ExitBadInput;
        }
        if (!checked.contains(file)) {
            QString problem;
            if (isFlash) {
                if (!isReadableRegularFile(file, &problem)) {
                    problem = QStringLiteral("the firmware image %1 %2").arg(file, problem);
                } else if (const ImageCheck c = checkFirmwareImage(file); !c.error.isEmpty()) {
                    problem = c.error;
                }
            } else if (const auto data = readRegularFile(file, ProfileMaxBytes, &problem)) {
                auto profile = parseProfile(*data);
                if (auto* e = std::get_if<QString>(&profile)) problem = file + ": " + *e;
            } else {
                problem = file + QStringLiteral(": ") + problem;
            }
            checked.insert(file, problem);
        }
        if (const QString problem = checked.value(file); !problem.isEmpty()) {
            err << "meridan-cli: " << describeUnit(u) << ": " << problem << Qt::endl;
            return ExitBadInput;
        }
    }
    const QString report = p.value(reportOption);
    if (!report.isEmpty()) {
        // The report must not write over what the fleet reads.
        QList<QPair<QString, QString>> inputs{{QStringLiteral("the inventory"), inventory}};
        for (const FleetUnit& u : units) {
            inputs.append({QStringLiteral("the profile"), u.profile});
            inputs.append({QStringLiteral("the image"), u.image});
        }
        for (const QString& file : settingsFiles())
            inputs.append({QStringLiteral("the settings file"), file});
        if (const QString input = overwrittenInput(report, inputs); !input.isEmpty()) {
            err << "meridan-cli: the report " << report << " would write over " << input
                << " (the same file); no unit was touched" << Qt::endl;
            return ExitBadInput;
        }
    }
    if (!report.isEmpty() && !reportWritable(report, &why)) {
        err << "meridan-cli: the report " << report << " cannot be written: " << why
            << "; no unit was touched" << Qt::endl;
        return ExitBadInput;
    }
    QStringList writeOptions;
    if (isWrite) {
        if (p.isSet(noBackup)) {
            writeOptions << QStringLiteral("--no-backup");
        } else {
            const QString folder =
                QFileInfo(p.isSet(backupDir) ? p.value(backupDir) : defaultBackupFolder())
                    .absoluteFilePath();
            if (!prepareBackupFolder(folder, &why)) {
                err << "meridan-cli: no backup can be kept: " << why
                    << "; no unit was touched (--backup-dir DIR names another folder)" << Qt::endl;
                return ExitBadInput;
            }
            writeOptions << QStringLiteral("--backup-dir") << folder;
        }
    }

    const QDateTime started = QDateTime::currentDateTime();
    Fleet fleet(verb, units, jobs, writeOptions, err, ::isatty(STDERR_FILENO) == 1);
    fleet.run();

    int code = ExitOk;
    for (const auto& r : fleet.runs()) {
        if (r->result == QLatin1String("differs") && code == ExitOk) code = ExitDifferences;
        if (r->result != QLatin1String("ok") && r->result != QLatin1String("differs"))
            code = ExitLinkFailure;
    }
    if (fleet.interruptedBy() != 0) code = 128 + fleet.interruptedBy();
    printSummary(fleet, out);
    if (!report.isEmpty()) {
        const QByteArray json =
            QJsonDocument(
                reportOf(fleet, verb, QFileInfo(inventory).absoluteFilePath(), started, code))
                .toJson(QJsonDocument::Indented);
        // Not QSaveFile: on a full disk it can report success for an empty file.
        if (!replaceFile(report, json, &why)) {
            err << "meridan-cli: the report " << report << " could not be written: " << why
                << Qt::endl;
            if (code == ExitOk || code == ExitDifferences) code = ExitLinkFailure;
        }
    }
    return code;
}

}  // namespace meridan::cli
