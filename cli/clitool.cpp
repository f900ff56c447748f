#include "clitool.h"

#include <unistd.h>
#include <QCommandLineParser>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSettings>
#include <QStandardPaths>
#include <cmath>
#include <memory>

#include "flash.h"
#include "link/link.h"
#include "link/portmap.h"
#include "link/qtserialport.h"
#include "profile.h"
#include "protocol/display.h"
#include "protocol/firmware.h"
#include "protocol/sequences.h"
#include "sim/headendmodel.h"
#include "sim/simulatedport.h"
#include "sim/virtualtime.h"
#include "trace.h"

namespace meridan::cli {

MessageResult StreamMessages::show(const QString& text, const QString& title, MessageIcon,
                                   MessageButtons buttons) {
    ++shown_;
    if (title.isEmpty()) {
        err_ << text << Qt::endl;
    } else {
        err_ << title << ": " << text << Qt::endl;
    }
    return buttons == MessageButtons::Ok ? MessageResult::Ok : MessageResult::Cancel;
}

QString formatUnitTable(const UnitImage& unit, const MemoryUnitView& view) {
    QString s;
    QTextStream t(&s);
    t << "Type:        " << view.unitType << '\n'
      << "HW-Version:  " << view.hwVersion << '\n'
      << "SW-Version:  " << view.swVersion << '\n'
      << "Serial-No:  " << view.serialNo << "\n\n";
    t << "Converter  Carrier  Input  Input MHz  Gain  Input PLL  Output MHz  Output PLL\n";
    auto onOff = [](int v) {
        return v == 0 ? QStringLiteral("off") : v == 1 ? QStringLiteral("on") : QString::number(v);
    };
    for (int i = 0; i < ConverterCount; ++i) {
        const auto& c = view.channels[i];
        const QString sat = c.polarisation >= 0 ? QStringLiteral("SAT %1").arg(c.polarisation + 1)
                                                : QStringLiteral("-");
        t << QStringLiteral("%1  %2  %3  %4  %5  %6  %7  %8")
                 .arg(i + 1, 9)
                 .arg(onOff(unit.Carrier[i]), -7)
                 .arg(sat, -5)
                 .arg(c.inFreq, 9)
                 .arg(onOff(c.gain), -4)
                 .arg(c.inputLock, -9)
                 .arg(c.outFreq, 10)
                 .arg(c.outputLock)
          << '\n';
    }
    return s;
}

namespace {

const char* const Usage =
    "Usage: meridan-cli [--port ComN|PATH] [--trace FILE] COMMAND [ARGS]\n"
    "\n"
    "Commands:\n"
    "  ports                 every port number with its device and whether it opens now\n"
    "  read [--json]         read the whole unit and print it (a table, or JSON)\n"
    "  diff PROFILE.json     compare the unit with a channel plan, one line per difference\n"
    "  write PROFILE.json    write a channel plan to the unit and have it store it:\n"
    "        --dry-run         show the commands that would be sent; send nothing\n"
    "        --no-backup       do not save the unit's plan before writing\n"
    "        --backup-dir DIR  where the plan read before writing is saved\n"
    "                          (default: $XDG_DATA_HOME/meridan/backups)\n"
    "                        after writing, the unit is read back and any field it did not\n"
    "                        take is reported\n"
    "  flash IMAGE.bin       send a firmware image to a module of the unit\n"
    "\n"
    "--port takes a port of the port menu (Com1 to Com15, mapped to devices as the\n"
    "program maps them, section \"Ports\" of the settings) or a device path. Without\n"
    "--port the port stored by the program is used.\n"
    "--trace FILE writes every byte on the wire, with its time and direction and the\n"
    "frames decoded, to FILE.\n"
    "\n"
    "Exit codes:\n"
    "  0  done (diff: no differences)\n"
    "  1  link failure (the headend did not answer as it should)\n"
    "  2  bad usage or input (nothing was sent)\n"
    "  3  the port cannot be opened\n"
    "  4  differences found (diff; write: fields the unit did not take)\n";

QString defaultBackupFolder() {
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation))
        .filePath(QStringLiteral("meridan/backups"));
}

// Everything one run needs to talk to the headend.
class Session {
  public:
    explicit Session(QTextStream& err)
        : settings_(QStringLiteral("Meridan"), QStringLiteral("Meridan Converter")),
          map_(&settings_),
          port_(map_),
          messages_(err),
          link_(port_, clock_, pump_, messages_),
          err_(err) {
        link_.setApplicationTitle(QStringLiteral("meridan-cli"));
    }

    // Picks the port from --port, or the one the program stored. False on bad usage.
    bool choosePort(const QString& given) {
        QString s = given;
        if (s.isEmpty()) {
            const int stored = settings_.value(QStringLiteral("Settings/COM-Port"), 0).toInt();
            if (stored < FirstComPort || stored > LastComPort) {
                err_ << "meridan-cli: no port given (--port ComN or a device path) and none stored"
                     << Qt::endl;
                return false;
            }
            s = QStringLiteral("Com%1").arg(stored);
        }
        if (const int n = parseComName(s); n > 0) {
            port_.setPortNumber(n);
        } else if (s.contains(QLatin1Char('/'))) {
            port_.setDevicePath(s);
        } else {
            err_ << "meridan-cli: --port takes Com1 to Com15 or a device path, not \"" << s << '"'
                 << Qt::endl;
            return false;
        }
        return true;
    }

    bool open() {
        port_.setReceiveBufferSize(1024);
        port_.setTransmitBufferSize(16384);
        if (port_.open()) return true;
        messages_.show(text::portOpenFailed(port_.deviceName(), port_.errorText()),
                       text::ComPortError, MessageIcon::Critical, MessageButtons::Ok);
        return false;
    }

    Link& link() { return link_; }
    Clock& clock() { return clock_; }
    const PortMap& map() const { return map_; }

  private:
    QSettings settings_;
    PortMap map_;
    SteadyClock clock_;
    EventLoopPump pump_;
    QtSerialPort port_;
    StreamMessages messages_;
    Link link_;
    QTextStream& err_;
};

// The unit as read: image, what the window would show.
struct ReadResult {
    UnitImage unit;
    MemoryUnitView view;
    bool ok = false;
};

ReadResult readAll(Link& link) {
    ReadResult r;
    LockTextTable lockText;
    fillLockText(lockText);
    r.ok = read_unit_data_(link, r.unit, lockText, r.view) == SequenceResult::Complete;
    return r;
}

int cmdPorts(Session& session, QTextStream& out) {
    for (int n = FirstComPort; n <= LastComPort; ++n) {
        const bool opens = session.link().TestComPort(n);
        out << QStringLiteral("Com%1").arg(n, -6)
            << QStringLiteral("%1").arg(session.map().devicePath(n), -22) << (opens ? "opens" : "-")
            << '\n';
    }
    return ExitOk;
}

int cmdRead(Session& session, bool json, QTextStream& out) {
    const ReadResult r = readAll(session.link());
    if (!r.ok) return ExitLinkFailure;
    if (json) {
        out << QJsonDocument(unitToJson(r.unit, r.view)).toJson(QJsonDocument::Indented);
    } else {
        out << formatUnitTable(r.unit, r.view);
    }
    return ExitOk;
}

int cmdDiff(Session& session, const Profile& profile, QTextStream& out) {
    const ReadResult r = readAll(session.link());
    if (!r.ok) return ExitLinkFailure;
    const QStringList lines = diffPlan(r.unit, r.view, profile, QStringLiteral("in profile"));
    for (const QString& l : lines)
        out << l << '\n';
    return lines.isEmpty() ? ExitOk : ExitDifferences;
}

std::optional<Profile> loadProfile(const QString& path, QTextStream& err) {
    QFile f(path);
    if (QFileInfo(path).isDir() || !f.open(QIODevice::ReadOnly)) {
        err << "meridan-cli: " << path << ": cannot be read"
            << (QFileInfo(path).isDir() ? QStringLiteral(" (a folder)") : QString()) << Qt::endl;
        return std::nullopt;
    }
    auto parsed = parseProfile(f.readAll());
    if (auto* e = std::get_if<QString>(&parsed)) {
        err << "meridan-cli: " << path << ": " << *e << Qt::endl;
        return std::nullopt;
    }
    return std::get<Profile>(parsed);
}

// The commands a write would send, found by writing to a simulated unit.
int cmdDryRun(const Profile& profile, QTextStream& out, QTextStream& err, WireObserver* trace) {
    sim::VirtualClock clock;
    sim::HeadendModel model;
    sim::SimulatedPort port(model, clock);
    sim::VirtualPump pump(clock, port);
    StreamMessages messages(err);
    Link link(port, clock, pump, messages);
    struct Lister final : WireObserver {
        QTextStream& out;
        WireObserver* trace;
        int commands = 0;
        Lister(QTextStream& o, WireObserver* t) : out(o), trace(t) {}
        void onWire(WireDirection d, const QByteArray& bytes, double t) override {
            if (trace) trace->onWire(d, bytes, t);
            if (d != WireDirection::ToDevice) return;
            if (bytes == "TS") {
                out << "TS   connection request\n";
            } else if (bytes.size() == CommandFrame::Size) {
                ++commands;
                out << QString::fromLatin1(bytes.toHex(' ')) << "   " << describeFrame(bytes)
                    << '\n';
            }
        }
    } lister(out, trace);
    link.setWireObserver(&lister);
    port.open();
    out << "Dry run: these commands would be sent (nothing is sent):\n";
    UnitImage unit;
    LockTextTable lockText;
    fillLockText(lockText);
    MemoryUnitView view;
    applyProfile(profile, view);
    if (set_unit_data_(link, unit, lockText, view).result != SequenceResult::Complete) {
        return ExitLinkFailure;
    }
    out << lister.commands << " commands.\n";
    return ExitOk;
}

struct WriteOptions {
    bool backup = true;
    QString backupDir;
};

int cmdWrite(Session& session, const Profile& profile, const WriteOptions& opts, QTextStream& out,
             QTextStream& err) {
    if (opts.backup) {
        // No plan is ever lost to a write: what the unit holds now is kept first.
        const ReadResult before = readAll(session.link());
        if (!before.ok) {
            err << "meridan-cli: the unit could not be read for the backup; nothing was written"
                << Qt::endl;
            return ExitLinkFailure;
        }
        QString why;
        const QString path = saveBackup(opts.backupDir, before.unit, before.view, &why);
        if (path.isEmpty()) {
            err << "meridan-cli: backup not saved (" << why << "); nothing was written" << Qt::endl;
            return ExitBadInput;
        }
        out << "Backup of the unit's plan: " << path << Qt::endl;
    }
    UnitImage unit;
    LockTextTable lockText;
    fillLockText(lockText);
    MemoryUnitView view;
    applyProfile(profile, view);
    if (set_unit_data_(session.link(), unit, lockText, view).result != SequenceResult::Complete) {
        return ExitLinkFailure;
    }
    out << "Written and stored: " << ConverterCount << " converters." << Qt::endl;

    const ReadResult after = readAll(session.link());
    if (!after.ok) {
        err << "meridan-cli: the unit could not be read back" << Qt::endl;
        return ExitLinkFailure;
    }
    const QStringList lines = diffPlan(after.unit, after.view, profile, QStringLiteral("written"));
    if (lines.isEmpty()) {
        out << "Read back: the unit holds the plan." << Qt::endl;
        return ExitOk;
    }
    out << "Read back: the unit did not take " << lines.size()
        << (lines.size() == 1 ? " field:" : " fields:") << Qt::endl;
    for (const QString& l : lines)
        out << l << '\n';
    return ExitDifferences;
}

int cmdFlash(Session& session, const QString& image, QTextStream& out, QTextStream& err) {
    FlashProgress progress(image, session.clock(), err, ::isatty(STDERR_FILENO) == 1);
    FirmwareTransfer transfer(session.link(), progress);
    const double start = session.clock().now();
    const FirmwareTransfer::Outcome outcome = transfer.RunUpdate();
    progress.finishLine();
    const double seconds = session.clock().now() - start;
    const FirmwareTransfer::Figures& f = transfer.figures();
    switch (outcome) {
        case FirmwareTransfer::Outcome::Success: {
            const double rate = double(f.bytesSent) / seconds;
            out << QStringLiteral(
                       "Sent %1: %2 bytes (%3 sectors) in %4 %5, %6 s; average %7 B/s, %8% of the "
                       "5760 B/s line rate\n")
                       .arg(QDir::toNativeSeparators(image))
                       .arg(f.bytesSent)
                       .arg(f.sectors)
                       .arg(f.attempt)
                       .arg(f.attempt == 1 ? QStringLiteral("attempt") : QStringLiteral("attempts"))
                       .arg(seconds, 0, 'f', 1)
                       .arg(std::llround(rate))
                       .arg(rate / 5760.0 * 100.0, 0, 'f', 1);
            return ExitOk;
        }
        case FirmwareTransfer::Outcome::Refused:
            return ExitBadInput;
        case FirmwareTransfer::Outcome::PortClosed:
            return ExitPortUnavailable;
        default:
            return ExitLinkFailure;
    }
}

}  // namespace

int runCli(const QStringList& arguments, QTextStream& out, QTextStream& err) {
    QCommandLineParser p;
    p.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help."));
    const QCommandLineOption port(QStringLiteral("port"), QStringLiteral("The serial port."),
                                  QStringLiteral("ComN|PATH"));
    const QCommandLineOption trace(QStringLiteral("trace"), QStringLiteral("Wire trace file."),
                                   QStringLiteral("FILE"));
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("read: print JSON."));
    const QCommandLineOption dryRun(QStringLiteral("dry-run"),
                                    QStringLiteral("write: send nothing."));
    const QCommandLineOption noBackup(QStringLiteral("no-backup"),
                                      QStringLiteral("write: no backup."));
    const QCommandLineOption backupDir(QStringLiteral("backup-dir"),
                                       QStringLiteral("write: backup folder."),
                                       QStringLiteral("DIR"));
    p.addOptions({help, port, trace, json, dryRun, noBackup, backupDir});
    p.addPositionalArgument(QStringLiteral("command"), QStringLiteral("the command"));

    if (!p.parse(QStringList{QStringLiteral("meridan-cli")} + arguments)) {
        err << "meridan-cli: " << p.errorText() << "\n\n" << Usage;
        return ExitBadInput;
    }
    if (p.isSet(help)) {
        out << Usage;
        return ExitOk;
    }
    const QStringList args = p.positionalArguments();
    const QString command = args.value(0);
    auto usageError = [&](const QString& why) {
        err << "meridan-cli: " << why << "\n\n" << Usage;
        return ExitBadInput;
    };
    const QStringList known{QStringLiteral("ports"), QStringLiteral("read"), QStringLiteral("diff"),
                            QStringLiteral("write"), QStringLiteral("flash")};
    if (command.isEmpty()) return usageError(QStringLiteral("no command given"));
    if (!known.contains(command))
        return usageError(QStringLiteral("unknown command \"%1\"").arg(command));
    const bool takesFile = command != QLatin1String("ports") && command != QLatin1String("read");
    if (args.size() != (takesFile ? 2 : 1)) {
        return usageError(takesFile ? QStringLiteral("%1 takes one file").arg(command)
                                    : QStringLiteral("%1 takes no file").arg(command));
    }
    if (p.isSet(json) && command != QLatin1String("read")) {
        return usageError(QStringLiteral("--json belongs to read"));
    }
    if ((p.isSet(dryRun) || p.isSet(noBackup) || p.isSet(backupDir)) &&
        command != QLatin1String("write")) {
        return usageError(
            QStringLiteral("--dry-run, --no-backup and --backup-dir belong to write"));
    }

    // Whatever is read from files is checked before the port is touched.
    std::optional<Profile> profile;
    if (command == QLatin1String("diff") || command == QLatin1String("write")) {
        profile = loadProfile(args[1], err);
        if (!profile) return ExitBadInput;
    }
    if (command == QLatin1String("flash")) {
        const ImageCheck check = checkFirmwareImage(args[1]);
        if (!check.error.isEmpty()) {
            err << "meridan-cli: " << check.error << Qt::endl;
            return ExitBadInput;
        }
    }
    QFile traceFile;
    std::unique_ptr<TraceWriter> tracer;
    if (p.isSet(trace)) {
        traceFile.setFileName(p.value(trace));
        if (!traceFile.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
            err << "meridan-cli: " << p.value(trace)
                << ": cannot be written: " << traceFile.errorString() << Qt::endl;
            return ExitBadInput;
        }
        tracer = std::make_unique<TraceWriter>(&traceFile);
        tracer->note(QStringLiteral("meridan-cli %1, %2")
                         .arg(arguments.join(QLatin1Char(' ')),
                              QDateTime::currentDateTime().toString(Qt::ISODate)));
    }

    if (command == QLatin1String("write") && p.isSet(dryRun)) {
        return cmdDryRun(*profile, out, err, tracer.get());
    }

    Session session(err);
    if (tracer) session.link().setWireObserver(tracer.get());
    if (!session.choosePort(p.value(port))) return ExitBadInput;
    if (command == QLatin1String("ports")) return cmdPorts(session, out);
    if (!session.open()) return ExitPortUnavailable;
    if (command == QLatin1String("read")) return cmdRead(session, p.isSet(json), out);
    if (command == QLatin1String("diff")) return cmdDiff(session, *profile, out);
    if (command == QLatin1String("write")) {
        WriteOptions opts;
        opts.backup = !p.isSet(noBackup);
        opts.backupDir = p.isSet(backupDir) ? p.value(backupDir) : defaultBackupFolder();
        return cmdWrite(session, *profile, opts, out, err);
    }
    return cmdFlash(session, args[1], out, err);
}

}  // namespace meridan::cli
