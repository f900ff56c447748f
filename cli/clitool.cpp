#include "clitool.h"

#include <unistd.h>
#include <QCommandLineParser>
#include <QCoreApplication>

#include "commands.h"
#include "fleet.h"
#include "messagesink.h"
#include "monitorcommand.h"

namespace meridan::cli {

namespace {

const char* const Usage =
    "Usage: meridan-cli [--port ComN|PATH] [--trace FILE] COMMAND [ARGS]\n"
    "\n"
    "Commands:\n"
    "  ports                 every port number with its device and whether it opens now\n"
    "  read [--json]         read the whole unit and print it (a table, or JSON: a record of\n"
    "                        the unit that write restores exactly)\n"
    "        --pdf FILE.pdf    also write the commissioning report of the unit as read: one\n"
    "                          A4 page (type, versions, serial number, the 12 converters)\n"
    "  diff PROFILE.json     compare the unit with a channel plan, one line per difference\n"
    "  write PROFILE.json    write a channel plan to the unit and have it store it, in three\n"
    "                        phases: read the unit and save it as a backup, write and store,\n"
    "                        read back and report any field the unit did not take\n"
    "        --dry-run         check the plan, the backup folder and the port, then list the\n"
    "                          commands of all three phases; send nothing\n"
    "        --no-backup       leave out the backup read\n"
    "        --backup-dir DIR  where the backup is saved\n"
    "                          (default: $XDG_DATA_HOME/meridan/backups)\n"
    "  flash IMAGE.bin       send a firmware image to a module of the unit\n"
    "  monitor               the input and output lock of every converter, live, until\n"
    "                        Ctrl+C: a table redrawn in place on a terminal, else a line per\n"
    "                        round (L locked, U unlocked, ? unknown)\n"
    "        --converter N     only converter N (1 to 12), its input lock: the fastest\n"
    "        --output-lock     with --converter: its output lock too\n"
    "        --rounds K        stop after K rounds\n"
    "        --json            a JSON line per converter and round: round, time, converter,\n"
    "                          input_lock, output_lock, their values, changed\n"
    "        --serve [ADDR:]PORT  also show the lock states on a phone: a page at\n"
    "                          http://ADDR:PORT/?token=..., read only, while the monitor\n"
    "                          runs (ADDR 127.0.0.1 unless given; 0.0.0.0 every address of\n"
    "                          this machine); its address, and a QR code of it, on stderr\n"
    "  --confirm             read, diff, write, monitor: every value read twice, a pair that\n"
    "                        differs read again until two agree (the protocol has no checksum)\n"
    "  fleet INVENTORY VERB  read, diff, write or flash every unit of a list at once\n"
    "                        (meridan-cli fleet --help)\n"
    "\n"
    "--port takes a port of the port menu (Com1 to Com15, mapped to devices as the\n"
    "program maps them, section \"Ports\" of the settings), a device path, or a serial\n"
    "device server running the line at 57600 8N1: tcp://HOST:PORT (raw TCP) or\n"
    "rfc2217://HOST:PORT (Telnet with COM port control). Without --port the port stored\n"
    "by the program is used.\n"
    "--trace FILE writes every byte on the wire, with its time and direction and the\n"
    "frames decoded, to FILE, line by line.\n"
    "\n"
    "Files: a profile, an image, the settings and the trace must be regular files (links are\n"
    "followed), and the trace must not be one of the others;\n"
    "a FIFO, a device or a folder is refused, as is a profile over 1 MiB or an image over\n"
    "255 sectors of 64 KiB. A profile with a duplicate key, an unknown key or a value out of\n"
    "range is refused. All of this, and whether the backup folder can be written, is checked\n"
    "before the port is opened.\n"
    "\n"
    "A plan is checked against the plan ranges (carrier and gain 0 or 1, sat 1 to 4, input\n"
    "950 to 2150 MHz). What read --json prints and every backup is a record of the unit\n"
    "(\"source\": \"unit\" and a digest of its values, \"settings_sha256\"): while unchanged it\n"
    "is written back exactly as the unit reported it; once edited it is checked as a plan.\n"
    "\n"
    "Ctrl+C, SIGTERM or SIGHUP: the exchange in progress is finished, the communication\n"
    "ended, and the state of the unit is reported; a second one stops at once. monitor ends\n"
    "so, with exit code 0, and when nobody reads its output any more.\n"
    "\n"
    "Exit codes:\n"
    "  0    done (diff: no differences)\n"
    "  1    link failure (the headend did not answer as it should); a write says what the\n"
    "       unit holds; reads that never agreed; the trace could not be written\n"
    "  2    bad usage or input (nothing was sent)\n"
    "  3    the port cannot be opened (missing, in use by another program, not a serial\n"
    "       device; a device server that cannot be reached or refuses the line settings)\n"
    "  4    differences found (diff; write: fields the unit did not take); read: values\n"
    "       outside the range a unit reports\n"
    "  130  interrupted by Ctrl+C (143: by SIGTERM, 129: by SIGHUP)\n";

}  // namespace

bool wantsReport(const QStringList& arguments) {
    for (const QString& a : arguments) {
        for (const char* option : {"-pdf", "--pdf", "-pdf-dir", "--pdf-dir"}) {
            if (a == QLatin1String(option) ||
                a.startsWith(QLatin1String(option) + QLatin1Char('=')))
                return true;
        }
    }
    return false;
}

int runCli(const QStringList& arguments, QTextStream& out, QTextStream& err) {
    if (arguments.value(0) == QLatin1String("fleet")) return runFleet(arguments.mid(1), out, err);
    QCommandLineParser p;
    p.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help."));
    const QCommandLineOption version(QStringLiteral("version"),
                                     QStringLiteral("Show the version."));
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
    const QCommandLineOption pdf(QStringLiteral("pdf"), QStringLiteral("read: the report."),
                                 QStringLiteral("FILE"));
    const QCommandLineOption confirmOption(
        QStringLiteral("confirm"),
        QStringLiteral("read, diff, write, monitor: read every value twice."));
    p.addOptions(
        {help, version, port, trace, json, pdf, dryRun, noBackup, backupDir, confirmOption});
    const QCommandLineOption converter(QStringLiteral("converter"),
                                       QStringLiteral("monitor: one converter."),
                                       QStringLiteral("N"));
    const QCommandLineOption outputLock(QStringLiteral("output-lock"),
                                        QStringLiteral("monitor: its output lock too."));
    const QCommandLineOption rounds(QStringLiteral("rounds"),
                                    QStringLiteral("monitor: stop after K rounds."),
                                    QStringLiteral("K"));
    const QCommandLineOption serve(QStringLiteral("serve"),
                                   QStringLiteral("monitor: the lock states for phones."),
                                   QStringLiteral("[ADDR:]PORT"));
    p.addOptions({converter, outputLock, rounds, serve});
    p.addPositionalArgument(QStringLiteral("command"), QStringLiteral("the command"));

    if (!p.parse(QStringList{QStringLiteral("meridan-cli")} + arguments)) {
        err << "meridan-cli: " << p.errorText() << "\n\n" << Usage;
        return ExitBadInput;
    }
    if (p.isSet(help)) {
        out << Usage;
        return ExitOk;
    }
    if (p.isSet(version)) {
        out << "meridan-cli " << MERIDAN_VERSION_MAJOR << '.' << MERIDAN_VERSION_MINOR << '.'
            << MERIDAN_VERSION_PATCH << '\n';
        return ExitOk;
    }
    const QStringList args = p.positionalArguments();
    const QString command = args.value(0);
    auto usageError = [&](const QString& why) {
        err << "meridan-cli: " << why << "\n\n" << Usage;
        return ExitBadInput;
    };
    const QStringList known{QStringLiteral("ports"), QStringLiteral("read"),
                            QStringLiteral("diff"),  QStringLiteral("write"),
                            QStringLiteral("flash"), QStringLiteral("monitor")};
    if (command.isEmpty()) return usageError(QStringLiteral("no command given"));
    if (command == QLatin1String("fleet")) {
        return usageError(QStringLiteral(
            "fleet comes first and takes its ports from the inventory: meridan-cli fleet "
            "INVENTORY VERB"));
    }
    if (!known.contains(command))
        return usageError(QStringLiteral("unknown command \"%1\"").arg(command));
    // An empty --port is a variable that was not set, never "the stored port".
    if (p.isSet(port) && p.value(port).trimmed().isEmpty())
        return usageError(QStringLiteral("--port is empty (a port name, device path or address)"));
    const bool isMonitor = command == QLatin1String("monitor");
    const bool takesFile =
        command != QLatin1String("ports") && command != QLatin1String("read") && !isMonitor;
    if (args.size() != (takesFile ? 2 : 1)) {
        return usageError(takesFile ? QStringLiteral("%1 takes one file").arg(command)
                                    : QStringLiteral("%1 takes no file").arg(command));
    }
    if (p.isSet(json) && command != QLatin1String("read") && !isMonitor) {
        return usageError(QStringLiteral("--json belongs to read and monitor"));
    }
    std::optional<MonitorOptions> monitorOptions;
    if (isMonitor) {
        auto given = [&](const QCommandLineOption& o) {
            return p.isSet(o) ? std::optional(p.value(o)) : std::nullopt;
        };
        auto parsed = parseMonitorOptions(given(converter), p.isSet(outputLock), given(rounds),
                                          p.isSet(json));
        if (auto* why = std::get_if<QString>(&parsed)) return usageError(*why);
        monitorOptions = std::get<MonitorOptions>(parsed);
        QString why;
        monitorOptions->serve = p.isSet(serve);
        if (monitorOptions->serve &&
            !web::parseServeAddress(p.value(serve), &monitorOptions->serveAddress,
                                    &monitorOptions->servePort, &why)) {
            return usageError(why);
        }
    } else if (p.isSet(converter) || p.isSet(outputLock) || p.isSet(rounds) || p.isSet(serve)) {
        return usageError(
            QStringLiteral("--converter, --output-lock, --rounds and --serve belong to monitor"));
    }
    if (p.isSet(confirmOption) &&
        (command == QLatin1String("ports") || command == QLatin1String("flash")))
        return usageError(QStringLiteral("--confirm belongs to read, diff, write and monitor"));
    if (p.isSet(pdf) && command != QLatin1String("read"))
        return usageError(QStringLiteral("--pdf belongs to read"));
    if (p.isSet(pdf) && p.value(pdf).trimmed().isEmpty())
        return usageError(QStringLiteral("--pdf is empty (a file name)"));
    if ((p.isSet(dryRun) || p.isSet(noBackup) || p.isSet(backupDir)) &&
        command != QLatin1String("write")) {
        return usageError(
            QStringLiteral("--dry-run, --no-backup and --backup-dir belong to write"));
    }

    Request request;
    request.command = command;
    request.portGiven = p.isSet(port);
    request.port = p.value(port);
    request.file = args.value(1);
    request.trace = p.value(trace);
    request.pdf = p.value(pdf);
    request.json = p.isSet(json);
    request.confirm = p.isSet(confirmOption);
    request.dryRun = p.isSet(dryRun);
    request.backup = !p.isSet(noBackup);
    request.backupDir = p.value(backupDir);
    request.monitor = monitorOptions;
    request.commandLine = arguments.join(QLatin1Char(' '));
    Voice voice(&err);
    Streams streams{out, err, voice, ::isatty(STDERR_FILENO) == 1, {}, -1};
    UnitOutcome outcome;
    return execute(request, streams, outcome);
}

}  // namespace meridan::cli
