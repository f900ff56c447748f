#include "fleetrun.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "clitool.h"
#include "fleetunit.h"
#include "interrupt.h"
#include "protocol/display.h"

namespace meridan::cli {

namespace {

// What is kept of a unit's output and of what it said; a flash's progress lines are not kept.
constexpr qsizetype OutputLimit = 1024 * 1024;
// File handles the fleet keeps for itself beyond those open when it starts: the report, its
// temporary file, a look into /proc.
constexpr rlim_t HandleReserve = 8;

QString secondsText(double s) {
    return QStringLiteral("%1 s").arg(s, 0, 'f', 1);
}

int openHandles() {
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot).size());
}

int threadCount() {
    return int(QDir(QStringLiteral("/proc/self/task"))
                   .entryList(QDir::Dirs | QDir::NoDotAndDotDot)
                   .size());
}

// MemAvailable of /proc/meminfo, in bytes; -1 when unknown.
qint64 memoryAvailable() {
    QFile f(QStringLiteral("/proc/meminfo"));
    if (!f.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : f.readAll().split('\n')) {
        if (line.startsWith("MemAvailable:"))
            return line.mid(13).trimmed().split(' ').value(0).toLongLong() * 1024;
    }
    return -1;
}

QString signalText(int sig) {
    const char* name = sigabbrev_np(sig);
    return name ? QStringLiteral("SIG") + QLatin1String(name)
                : QStringLiteral("signal %1").arg(sig);
}

// "3 differences: Converter 1: ... (+2 more)".
QString countedFirst(const QStringList& lines, const QString& one, const QString& many) {
    QString s = QStringLiteral("%1 %2").arg(lines.size()).arg(lines.size() == 1 ? one : many);
    if (!lines.isEmpty()) s += QStringLiteral(": ") + lines.first();
    if (lines.size() > 1) s += QStringLiteral(" (+%1 more)").arg(lines.size() - 1);
    return s;
}

}  // namespace

int unitSlots(int jobs, QString* bound) {
    int slots = jobs;
    *bound = QStringLiteral("--jobs");
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY) {
        const rlim_t open = rlim_t(openHandles()) + HandleReserve;
        const int byHandles =
            files.rlim_cur > open ? int(std::min<rlim_t>(files.rlim_cur - open, rlim_t(jobs))) : 1;
        if (byHandles < slots) {
            slots = byHandles;
            *bound = QStringLiteral("the open-file limit (ulimit -n %1)").arg(files.rlim_cur);
        }
    }
    if (const qint64 room = memoryAvailable(); room >= 0) {
        const int byMemory = int(std::max<qint64>(1, room / 2 / UnitMemoryBytes));
        if (byMemory < slots) {
            slots = byMemory;
            *bound = QStringLiteral("the memory available (%1 MiB)").arg(room / (1024 * 1024));
        }
    }
    return std::max(1, slots);
}

FleetRun::FleetRun(QString verb, std::vector<std::unique_ptr<UnitRun>> runs, int jobs,
                   QString pdfDir, SignalPipe& signals, int earlySignal, QTextStream& out,
                   QTextStream& err, bool terminal)
    : verb_(std::move(verb)),
      runs_(std::move(runs)),
      pdfDir_(std::move(pdfDir)),
      out_(out),
      err_(err),
      terminal_(terminal),
      signals_(signals),
      fleetPid_(::getpid()) {
    slots_ = unitSlots(std::min<int>(jobs, int(runs_.size())), &slotsBound_);
    signals_.onSignal = [this](int sig) { onSignal(sig); };
    if (earlySignal != 0) interrupt(earlySignal);
}

FleetRun::~FleetRun() {
    signals_.onSignal = nullptr;
}

void FleetRun::run() {
    clock_.start();
    // A copy of this process that finds another thread's lock taken would wait for ever: the
    // units are made while the fleet runs on one thread only.
    if (const int threads = threadCount(); threads > 1) {
        for (auto& r : runs_) {
            if (r->phase != UnitRun::Phase::Waiting) continue;
            r->phase = UnitRun::Phase::Done;
            r->detail =
                QStringLiteral("could not be started: the fleet runs %1 threads").arg(threads);
        }
    }
    QTimer redraw;
    if (terminal_) {
        QObject::connect(&redraw, &QTimer::timeout, [this] { draw(); });
        redraw.start(250);
    }
    startMore();
    draw();
    if (running_ > 0) loop_.exec();
    draw();
}

void FleetRun::onSignal(int sig) {
    if (sig == SIGCHLD) {
        reap();
    } else {
        interrupt(sig);
    }
}

void FleetRun::interrupt(int sig) {
    const QString name = signalName(sig);
    // A hang-up comes from the terminal and from the shell: the second is not a person
    // insisting.
    if (escalation_ > 0 && sig == SIGHUP) return;
    ++escalation_;
    if (firstSignal_ == 0) firstSignal_ = sig;
    int left = 0;
    for (auto& r : runs_) {
        if (r->phase == UnitRun::Phase::Waiting) {
            r->phase = UnitRun::Phase::Done;
            r->detail = QStringLiteral("interrupted before it started");
            ++left;
        } else if (r->phase == UnitRun::Phase::Running && !r->waitStatus) {
            r->killed = escalation_ >= 3;
            ::kill(r->pid, escalation_ >= 3 ? SIGKILL : sig);
        }
    }
    if (escalation_ == 1) {
        err_ << '\n'
             << QStringLiteral(
                    "meridan-cli: %1: each running unit finishes the exchange in "
                    "progress and ends its communication; %2 not started %3 left out "
                    "(%1 again stops them at once)")
                    .arg(name)
                    .arg(left == 1 ? QStringLiteral("1 unit")
                                   : QStringLiteral("%1 units").arg(left))
                    .arg(left == 1 ? QStringLiteral("is") : QStringLiteral("are"))
             << Qt::endl;
    } else {
        err_ << '\n'
             << (escalation_ == 2
                     ? QStringLiteral("meridan-cli: %1 again: the running units stop at once")
                     : QStringLiteral("meridan-cli: %1 a third time: the running units are "
                                      "killed; the report follows"))
                    .arg(name)
             << Qt::endl;
    }
    drawn_ = 0;
    if (running_ == 0) loop_.quit();
}

void FleetRun::startMore() {
    for (auto& r : runs_) {
        if (running_ >= slots_ || startBlocked_ || escalation_ > 0) return;
        if (r->phase == UnitRun::Phase::Waiting && !start(*r)) return;
    }
}

// False when the unit could not be started and waits for a slot.
bool FleetRun::start(UnitRun& r) {
    int fds[2];
    auto refused = [&](int error) {
        // The system has no process or file handle left now: the unit waits for one of the
        // running units to end; with none running it never will.
        if (running_ > 0) {
            startBlocked_ = true;
            return false;
        }
        r.phase = UnitRun::Phase::Done;
        r.detail = QStringLiteral("could not be started: %1")
                       .arg(QString::fromLocal8Bit(std::strerror(error)));
        return true;
    };
    if (::pipe2(fds, O_CLOEXEC) != 0) return refused(errno);
    // Nothing buffered may be written twice, by the fleet and by the copy.
    out_.flush();
    err_.flush();
    std::fflush(nullptr);
    // A signal that reached the copy before it has handlers of its own would go to the
    // fleet's pipe: signals wait until the unit takes them (or the fleet, here).
    sigset_t blocked, before;
    sigemptyset(&blocked);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGCHLD})
        sigaddset(&blocked, sig);
    ::pthread_sigmask(SIG_BLOCK, &blocked, &before);
    const pid_t pid = ::fork();
    const int error = errno;
    if (pid == 0) {
        ::close(fds[0]);
        becomeUnit(r, fds[1]);
    }
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (pid < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return refused(error);
    }
    ::close(fds[1]);
    ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
    r.phase = UnitRun::Phase::Running;
    r.pid = pid;
    r.events = fds[0];
    r.start = seconds();
    ++running_;
    r.notifier = std::make_unique<QSocketNotifier>(fds[0], QSocketNotifier::Read);
    QObject::connect(r.notifier.get(), &QSocketNotifier::activated, [this, &r] { readEvents(r); });
    if (!terminal_) {
        err_ << QStringLiteral("[%1] %2: started on %3")
                    .arg(secondsText(r.start), r.unit.name, r.unit.port)
             << Qt::endl;
    }
    return true;
}

void FleetRun::becomeUnit(UnitRun& r, int eventFd) {
    // The terminal's Ctrl+C reaches the fleet only, which passes it on; a unit whose fleet
    // has gone ends its communication as on a hang-up.
    SignalPipe::forgetAfterFork();
    ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGHUP);
    if (::getppid() != fleetPid_) ::raise(SIGHUP);
    for (const auto& other : runs_) {
        if (other->events >= 0) ::close(other->events);
    }
    // A unit reads nothing and prints nothing: what it says goes to the fleet as events.
    if (const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC); null >= 0) {
        ::dup2(null, STDIN_FILENO);
        ::dup2(null, STDOUT_FILENO);
        ::close(null);
    }
    runAsUnit(r.request, eventFd, pdfDir_);
}

void FleetRun::readEvents(UnitRun& r) {
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(r.events, buffer, sizeof buffer);
        if (n > 0) {
            take(r, r.reader.feed(QByteArray(buffer, n)));
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        // The unit's end is closed: it has ended (or is ending).
        take(r, r.reader.finish());
        r.notifier.reset();
        ::close(r.events);
        r.events = -1;
        r.ended = true;
        reap();
        finishIfEnded(r);
        return;
    }
}

void FleetRun::take(UnitRun& r, const QList<EventReader::Event>& events) {
    for (const EventReader::Event& e : events) {
        if (e.kind == QLatin1String("said")) {
            if (r.said.join(QString()).size() < OutputLimit) r.said << e.value.toString();
        } else if (e.kind == QLatin1String("output")) {
            const QString text = e.value.toString();
            if (r.output.size() + text.size() > OutputLimit) {
                r.outputTruncated = true;
                r.output += text.left(OutputLimit - r.output.size());
            } else {
                r.output += text;
            }
        } else if (e.kind == QLatin1String("progress")) {
            r.progress = e.value.toString().simplified();
        } else if (e.kind == QLatin1String("outcome")) {
            r.outcome = outcomeFromJson(e.value.toObject());
        }
    }
}

void FleetRun::reap() {
    for (auto& r : runs_) {
        if (r->phase != UnitRun::Phase::Running || r->waitStatus) continue;
        int status = 0;
        if (::waitpid(r->pid, &status, WNOHANG) == r->pid) {
            r->waitStatus = status;
            finishIfEnded(*r);
        }
    }
}

void FleetRun::finishIfEnded(UnitRun& r) {
    if (r.phase != UnitRun::Phase::Running || !r.ended || !r.waitStatus) return;
    r.phase = UnitRun::Phase::Done;
    r.seconds = seconds() - r.start;
    classify(r);
    --running_;
    startBlocked_ = false;
    if (!terminal_) {
        err_ << QStringLiteral("[%1] %2: %3 (%4)%5")
                    .arg(secondsText(seconds()), r.unit.name, resultName(r.result),
                         secondsText(r.seconds),
                         r.detail.isEmpty() ? QString() : QStringLiteral(": ") + r.detail)
             << Qt::endl;
    }
    startMore();
    if (running_ == 0) loop_.quit();
}

void FleetRun::classify(UnitRun& r) {
    const int status = *r.waitStatus;
    const QString said = r.said.join(QStringLiteral("; "));
    if (WIFSIGNALED(status)) {
        const int sig = WTERMSIG(status);
        r.result = r.killed ? UnitResult::Interrupted : UnitResult::Failed;
        r.detail = (r.killed ? QStringLiteral("stopped at once (killed)")
                             : QStringLiteral("meridan-cli crashed (%1)").arg(signalText(sig))) +
                   (said.isEmpty() ? QString() : QStringLiteral(" after: ") + said);
        return;
    }
    r.exitCode = WEXITSTATUS(status);
    r.result = resultOfExitCode(r.exitCode);
    // A unit that ended without saying how (stopped at once by a second signal: its last
    // words are said) has no findings to show.
    if (!r.outcome && r.result != UnitResult::Interrupted) r.result = UnitResult::Failed;
    const UnitOutcome o = r.outcome.value_or(UnitOutcome());
    switch (r.result) {
        case UnitResult::Ok:
            if (verb_ == QLatin1String("read")) {
                const QJsonObject unit = o.record.value(QStringLiteral("unit")).toObject();
                r.detail = QStringLiteral("%1, serial %2")
                               .arg(printableText(unit.value(QStringLiteral("type")).toString()))
                               .arg(unit.value(QStringLiteral("serial")).toInteger());
            } else if (verb_ == QLatin1String("diff")) {
                r.detail = QStringLiteral("no differences");
            } else if (verb_ == QLatin1String("write")) {
                r.detail = QStringLiteral("written, stored and read back");
                if (!o.backup.isEmpty()) r.detail += QStringLiteral("; backup ") + o.backup;
            } else {
                r.detail = o.summary;
            }
            break;
        case UnitResult::Differs:
            r.detail = verb_ == QLatin1String("diff")
                           ? countedFirst(o.differences, QStringLiteral("difference"),
                                          QStringLiteral("differences"))
                       : verb_ == QLatin1String("write")
                           ? countedFirst(o.differences, QStringLiteral("field not taken"),
                                          QStringLiteral("fields not taken"))
                           : countedFirst(o.unusual, QStringLiteral("unusual value"),
                                          QStringLiteral("unusual values"));
            break;
        case UnitResult::Failed:
        case UnitResult::Interrupted:
        case UnitResult::NotRun:
            r.detail =
                !said.isEmpty() ? said
                : r.outcome
                    ? QStringLiteral("exit code %1").arg(r.exitCode)
                    : QStringLiteral("ended without a result (exit code %1)").arg(r.exitCode);
            break;
    }
    if (!o.pdf.isEmpty()) r.detail += QStringLiteral("; report ") + o.pdf;
}

QString FleetRun::stateText(const UnitRun& r) const {
    switch (r.phase) {
        case UnitRun::Phase::Waiting:
            return QStringLiteral("waiting");
        case UnitRun::Phase::Running:
            return r.progress.isEmpty()
                       ? QStringLiteral("%1 %2").arg(verb_, secondsText(seconds() - r.start))
                       : r.progress;
        case UnitRun::Phase::Done:
            break;
    }
    return QStringLiteral("%1 %2%3").arg(
        resultName(r.result), secondsText(r.seconds),
        r.detail.isEmpty() ? QString() : QStringLiteral("  ") + r.detail);
}

// Terminal: a line per unit, redrawn in place; only the counts when they do not fit.
void FleetRun::draw() {
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
        waiting += r->phase == UnitRun::Phase::Waiting;
        done += r->phase == UnitRun::Phase::Done;
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

}  // namespace meridan::cli
