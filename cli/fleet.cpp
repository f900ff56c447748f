#include "fleet.h"

#include <unistd.h>
#include <QCommandLineParser>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QJsonDocument>
#include <QSettings>
#include <csignal>

#include "clitool.h"
#include "fleetreport.h"
#include "fleetrun.h"
#include "link/portmap.h"
#include "plan/inputfiles.h"
#include "plan/profile.h"
#include "portidentity.h"
#include "protocol/firmware.h"

namespace meridan::cli {

using namespace meridan::plan;

namespace {

const char* const FleetUsage =
    "Usage: meridan-cli fleet INVENTORY VERB [FILE] [--jobs N] [--report FILE.json]\n"
    "                         [--confirm] [--backup-dir DIR | --no-backup] [--pdf-dir DIR]\n"
    "\n"
    "Runs VERB on every unit of the inventory at once, each unit in a process of its own with\n"
    "the single-unit command's behaviour, backups and checks:\n"
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
    "lines and lines starting with # are skipped) or JSON, a list of objects with those keys;\n"
    "at most 1000 units. Ports are as for --port: Com1 to Com15, a device path,\n"
    "tcp://HOST:PORT or rfc2217://HOST:PORT; two units on one line (a device and a link to\n"
    "it, one server's address written two ways) are refused. Relative file paths are taken\n"
    "from the inventory's folder. The inventory, every profile and image, the report's folder,\n"
    "the backup folder and the --pdf-dir folder are checked before any unit is touched.\n"
    "\n"
    "  --jobs N           at most N units at a time (default: all of them, as far as the\n"
    "                     open-file limit (ulimit -n) allows, one file handle a unit beyond\n"
    "                     16, and half the memory available, 2 MiB a unit; the others wait\n"
    "                     for a unit to end)\n"
    "  --report FILE      write every unit's result as JSON to FILE\n"
    "  --confirm          read, diff, write: every value read twice (see meridan-cli --help)\n"
    "  --backup-dir DIR   write: where every unit's backup is saved\n"
    "  --no-backup        write: leave out the backup read\n"
    "  --pdf-dir DIR      read: each unit's commissioning report, named as its backups are\n"
    "                     (TYPE-SERIAL-YYYYMMDD-HHMMSS.pdf)\n"
    "\n"
    "On a terminal a line per unit shows its state as it goes; a table of every unit's\n"
    "result, time and what differed or failed follows at the end.\n"
    "\n"
    "Ctrl+C, SIGTERM or SIGHUP: every running unit finishes the exchange in progress and ends\n"
    "its communication, units not started are left out; a second Ctrl+C or SIGTERM stops the\n"
    "units at once, a third kills them. The report is written either way.\n"
    "\n"
    "Exit codes: 0 every unit done; 4 some units differ (diff, write: fields a unit did not\n"
    "take; read: values outside the range a unit reports), none failed; 1 any unit failed or\n"
    "was not run; 2 bad usage or input (no unit was touched); 130 interrupted by Ctrl+C (143:\n"
    "SIGTERM, 129: SIGHUP).\n";

// The first two units of `units` that reach one line, as "a (line 2) and b (line 3) are on the
// same port (...)"; empty when none do.
QString sharedLine(const QList<FleetUnit>& units, const PortMap& map) {
    QHash<QString, const FleetUnit*> lines;
    for (const FleetUnit& u : units) {
        for (const QString& line : portIdentities(u.port, map)) {
            if (const FleetUnit* other = lines.value(line)) {
                return QStringLiteral("%1 and %2 are on the same port (%3%4)")
                    .arg(describeUnit(*other), describeUnit(u), printablePath(other->port),
                         other->port == u.port ? QString()
                                               : QStringLiteral(" and ") + printablePath(u.port));
            }
            lines.insert(line, &u);
        }
    }
    return {};
}

}  // namespace

int runFleet(const QStringList& arguments, QTextStream& out, QTextStream& err) {
    // Signals are taken from the start: one that comes while the inventory is checked leaves
    // every unit out, and the report says so.
    SignalPipe watch({SIGINT, SIGTERM, SIGHUP, SIGCHLD});
    int earlySignal = 0;
    watch.onSignal = [&earlySignal](int sig) {
        if (sig != SIGCHLD && earlySignal == 0) earlySignal = sig;
    };
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
    const QCommandLineOption confirm(QStringLiteral("confirm"),
                                     QStringLiteral("every value read twice."));
    const QCommandLineOption pdfDir(QStringLiteral("pdf-dir"),
                                    QStringLiteral("read: commissioning reports."),
                                    QStringLiteral("DIR"));
    p.addOptions({help, jobsOption, reportOption, backupDir, noBackup, confirm, pdfDir});
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
    if (p.isSet(confirm) && isFlash)
        return usageError(QStringLiteral("--confirm belongs to read, diff and write"));
    if (p.isSet(pdfDir) && !isRead) return usageError(QStringLiteral("--pdf-dir belongs to read"));

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

    // Two units on one line would talk over each other, and one of them would fail by chance.
    if (const QString problem = unusableSettingsFile(); !problem.isEmpty()) {
        err << "meridan-cli: " << problem << "; no unit was touched" << Qt::endl;
        return ExitBadInput;
    }
    QSettings settings(SettingsOrganisation, ApplicationTitle);
    if (const QString shared = sharedLine(units, PortMap(&settings)); !shared.isEmpty()) {
        err << "meridan-cli: " << inventory << ": " << shared << "; no unit was touched"
            << Qt::endl;
        return ExitBadInput;
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
        if (!canWriteFile(report, &why)) {
            err << "meridan-cli: the report " << report << " cannot be written: " << why
                << "; no unit was touched" << Qt::endl;
            return ExitBadInput;
        }
    }
    const QString pdfFolder =
        p.isSet(pdfDir) ? QFileInfo(p.value(pdfDir)).absoluteFilePath() : QString();
    if (p.isSet(pdfDir) && !canWriteInFolder(pdfFolder, &why)) {
        err << "meridan-cli: no commissioning report can be written: " << why
            << "; no unit was touched" << Qt::endl;
        return ExitBadInput;
    }
    QString backupFolder;
    if (isWrite && !p.isSet(noBackup)) {
        backupFolder = QFileInfo(p.isSet(backupDir) ? p.value(backupDir) : defaultBackupFolder())
                           .absoluteFilePath();
        if (!prepareBackupFolder(backupFolder, &why)) {
            err << "meridan-cli: no backup can be kept: " << why
                << "; no unit was touched (--backup-dir DIR names another folder)" << Qt::endl;
            return ExitBadInput;
        }
    }

    std::vector<std::unique_ptr<UnitRun>> runs;
    for (const FleetUnit& u : std::as_const(units)) {
        auto r = std::make_unique<UnitRun>();
        r->unit = u;
        Request& q = r->request;
        q.command = verb;
        q.portGiven = true;
        q.port = u.port;
        q.file = isFlash ? u.image : u.profile;
        q.print = !isRead;
        q.confirm = p.isSet(confirm);
        q.backup = isWrite && !p.isSet(noBackup);
        q.backupDir = backupFolder;
        q.commandLine = QStringLiteral("fleet %1 %2, unit %3").arg(inventory, verb, u.name);
        runs.push_back(std::move(r));
    }
    const QDateTime started = QDateTime::currentDateTime();
    watch.takeIn();
    FleetRun fleet(verb, std::move(runs), jobs, pdfFolder, watch, earlySignal, out, err,
                   ::isatty(STDERR_FILENO) == 1);
    fleet.run();

    int code = fleetExitCode(fleet);
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
