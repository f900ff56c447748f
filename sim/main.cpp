// meridan-headend-sim: a simulated headend on a pseudo-terminal, for trying the program and
// training without hardware.
#include <fcntl.h>
#include <unistd.h>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QSaveFile>
#include <QSocketNotifier>
#include <QTextStream>
#include <algorithm>
#include <csignal>

#include "headendmodel.h"
#include "ptyserver.h"
#include "statefile.h"
#include "tcpunits.h"

namespace {
int signalPipe[2] = {-1, -1};
void onSignal(int) {
    const char c = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &c, 1);
}

// Serves until SIGINT, SIGTERM or SIGHUP.
int serveUntilStopped() {
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        std::signal(SIGINT, onSignal);
        std::signal(SIGTERM, onSignal);
        std::signal(SIGHUP, onSignal);
    }
    QSocketNotifier quit(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&quit, &QSocketNotifier::activated, [] { QCoreApplication::quit(); });
    return QCoreApplication::exec();
}

}  // namespace

int main(int argc, char* argv[]) {
    using namespace meridan::sim;
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("meridan-headend-sim"));
    QTextStream out(stdout);
    QTextStream err(stderr);

    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Simulated Meridan converter headend on a pseudo-terminal, or on TCP ports (--tcp).\n"
        "Prints the terminal's path on the first line of its output (with --tcp: each unit's "
        "address, one line each), then serves until it is stopped."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help."));
    const QCommandLineOption version(QStringLiteral("version"),
                                     QStringLiteral("Show the version."));
    p.addOptions({help, version});
    const QCommandLineOption link(QStringLiteral("link"),
                                  QStringLiteral("Make PATH a symbolic link to the terminal."),
                                  QStringLiteral("PATH"));
    const QCommandLineOption state(
        QStringLiteral("state"),
        QStringLiteral("Keep the unit's settings in FILE (read at start, written when the unit "
                       "stores its settings)."),
        QStringLiteral("FILE"));
    const QCommandLineOption paced(QStringLiteral("paced"),
                                   QStringLiteral("Run at the real line rate, 5760 bytes/s."));
    const QCommandLineOption buffering(
        QStringLiteral("buffering"),
        QStringLiteral("Take everything at once and work through it at the line rate, as a device "
                       "behind a large buffer does (implies --paced)."));
    const QCommandLineOption silent(QStringLiteral("silent"), QStringLiteral("Answer nothing."));
    const QCommandLineOption delay(QStringLiteral("reply-delay"),
                                   QStringLiteral("Wait SECONDS before every answer."),
                                   QStringLiteral("SECONDS"));
    const QCommandLineOption ignore(
        QStringLiteral("ignore-connects"),
        QStringLiteral("Leave the first N connection requests unanswered."), QStringLiteral("N"));
    const QCommandLineOption noReply(QStringLiteral("no-reply-at"),
                                     QStringLiteral("Give command K of each connection no answer."),
                                     QStringLiteral("K"));
    const QCommandLineOption dropEn(
        QStringLiteral("drop-en-at"),
        QStringLiteral("Leave out the \"EN\" of command K of each connection."),
        QStringLiteral("K"));
    const QCommandLineOption garble(
        QStringLiteral("garble-at"),
        QStringLiteral("Line noise: command K of each connection (and the N-1 after it) gets the "
                       "first byte of its data changed, each differently."),
        QStringLiteral("K[:N]"));
    const QCommandLineOption gainOn(QStringLiteral("gain-on-value"),
                                    QStringLiteral("Answer V when gain is on (1 or 2)."),
                                    QStringLiteral("V"));
    const QCommandLineOption verbose(QStringLiteral("verbose"),
                                     QStringLiteral("Print every frame received."));
    const QCommandLineOption fwOut(
        QStringLiteral("firmware-out"),
        QStringLiteral("Write each firmware image received in full to FILE."),
        QStringLiteral("FILE"));
    const QCommandLineOption stallSector(
        QStringLiteral("stall-sector"),
        QStringLiteral(
            "Firmware: leave out the request for sector S (the count for the end mark)."),
        QStringLiteral("S"));
    const QCommandLineOption stallAttempts(
        QStringLiteral("stall-attempts"),
        QStringLiteral("Firmware: stall in the first N update attempts (default 1)."),
        QStringLiteral("N"));
    const QCommandLineOption dropFinalEn(QStringLiteral("drop-final-en"),
                                         QStringLiteral("Firmware: never send the end mark."));
    const QCommandLineOption writeTime(
        QStringLiteral("sector-write-time"),
        QStringLiteral("Firmware: SECONDS the module takes to store a sector."),
        QStringLiteral("SECONDS"));
    const QCommandLineOption frozen(
        QStringLiteral("frozen-converter"),
        QStringLiteral("Converter N (1-12) answers its set commands but keeps its settings."),
        QStringLiteral("N"));
    const QCommandLineOption lockChanges(
        QStringLiteral("lock-changes"),
        QStringLiteral("Move the lock states every SECONDS, as a dish being turned: in step k "
                       "converter k mod 12 loses its input lock (Unknown every third step) and, "
                       "in odd steps, its output lock."),
        QStringLiteral("SECONDS"));
    const QCommandLineOption tcp(
        QStringLiteral("tcp"),
        QStringLiteral("Serve on a TCP port instead of a pseudo-terminal, as a serial device "
                       "server does (HOST defaults to 127.0.0.1; PORT 0 takes a free port). "
                       "Prints tcp://HOST:PORT, one line per unit."),
        QStringLiteral("[HOST:]PORT"));
    const QCommandLineOption rfc2217(
        QStringLiteral("rfc2217"),
        QStringLiteral("With --tcp: Telnet with COM port control (RFC 2217); the line settings "
                       "a client asks for are printed with --verbose."));
    const QCommandLineOption units(
        QStringLiteral("units"),
        QStringLiteral("With --tcp: N independent units on N consecutive ports."),
        QStringLiteral("N"));
    const QCommandLineOption stateDir(
        QStringLiteral("state-dir"),
        QStringLiteral("With --tcp: keep unit K's settings in DIR/unit-K.json."),
        QStringLiteral("DIR"));
    const QCommandLineOption dropConnection(
        QStringLiteral("drop-connection-at"),
        QStringLiteral("With --tcp: drop the connection when its command K arrives."),
        QStringLiteral("K"));
    p.addOptions({link, state, paced, silent, delay, ignore, noReply, dropEn, gainOn, verbose,
                  fwOut, stallSector, stallAttempts, dropFinalEn, writeTime, frozen, lockChanges});
    p.addOptions({tcp, rfc2217, units, stateDir, dropConnection, garble});
    p.addOption(buffering);
    if (!p.parse(QCoreApplication::arguments()) || !p.positionalArguments().isEmpty()) {
        err << "meridan-headend-sim: "
            << (p.errorText().isEmpty() ? QStringLiteral("takes no arguments") : p.errorText())
            << "\n\n"
            << p.helpText();
        return 2;
    }
    if (p.isSet(help)) {
        out << p.helpText();
        return 0;
    }
    if (p.isSet(version)) {
        out << "meridan-headend-sim " << MERIDAN_VERSION_MAJOR << '.' << MERIDAN_VERSION_MINOR
            << '.' << MERIDAN_VERSION_PATCH << '\n';
        return 0;
    }

    double lockSeconds = 0;
    if (p.isSet(lockChanges)) {
        bool ok = false;
        lockSeconds = p.value(lockChanges).toDouble(&ok);
        if (!ok || !(lockSeconds >= 0.001) || lockSeconds > 86400) {
            err << "meridan-headend-sim: --lock-changes takes SECONDS from 0.001 to 86400, not \""
                << p.value(lockChanges) << "\"" << Qt::endl;
            return 2;
        }
    }

    // Sets up one unit: its state file, its faults, its pacing, where its firmware goes.
    auto setUp = [&](HeadendModel& model, const QString& statePath, const QString& firmwarePath) {
        if (!statePath.isEmpty() && QFileInfo::exists(statePath)) {
            QString why;
            auto loaded = loadStateFile(statePath, &why);
            if (!loaded) {
                err << "meridan-headend-sim: " << statePath << ": " << why << Qt::endl;
                return false;
            }
            model.state() = *loaded;
            model.setStored(*loaded);
        }
        if (!statePath.isEmpty()) {
            model.setStoreHandler([statePath, &err](const HeadendState& s) {
                QString why;
                if (!saveStateFile(statePath, s, &why)) {
                    err << "meridan-headend-sim: cannot store to " << statePath << ": " << why
                        << Qt::endl;
                }
            });
        }
        SimFaults& f = model.faults();
        f.silent = p.isSet(silent);
        f.replyDelay = p.value(delay).toDouble();
        f.ignoreConnects = p.value(ignore).toInt();
        f.noReplyAt = p.value(noReply).toInt();
        f.dropEnAt = p.value(dropEn).toInt();
        f.garbleAt = p.value(garble).section(QLatin1Char(':'), 0, 0).toInt();
        f.garbleCount = std::max(1, p.value(garble).section(QLatin1Char(':'), 1, 1).toInt());
        if (p.isSet(gainOn)) f.gainOnValue = static_cast<std::uint8_t>(p.value(gainOn).toInt());
        if (p.isSet(stallSector)) {
            f.stallSector = p.value(stallSector).toInt();
            f.stallAttempts = p.isSet(stallAttempts) ? p.value(stallAttempts).toInt() : 1;
        }
        f.dropFinalEn = p.isSet(dropFinalEn);
        if (p.isSet(frozen)) f.frozenConverter = p.value(frozen).toInt() - 1;
        f.sectorWriteTime = p.value(writeTime).toDouble();
        f.lockChanges = lockSeconds;
        model.setPaced(p.isSet(paced));
        model.setBuffering(p.isSet(buffering));
        if (!firmwarePath.isEmpty()) {
            model.setFirmwareHandler([firmwarePath, &err](const QByteArray& image) {
                QSaveFile file(firmwarePath);
                if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size() ||
                    !file.commit()) {
                    err << "meridan-headend-sim: cannot write " << firmwarePath << ": "
                        << file.errorString() << Qt::endl;
                }
            });
        }
        return true;
    };

    if (p.isSet(tcp)) {
        int code = 0;
        const auto served = startTcpUnits(
            {p.value(tcp), p.isSet(rfc2217), p.value(units), p.value(stateDir), p.value(state),
             p.value(fwOut), p.value(dropConnection), p.isSet(verbose)},
            setUp, out, err, &code);
        return served ? serveUntilStopped() : code;
    }
    for (const QCommandLineOption* o : {&rfc2217, &units, &stateDir, &dropConnection}) {
        if (p.isSet(*o)) {
            err << "meridan-headend-sim: --" << o->names().first() << " needs --tcp" << Qt::endl;
            return 2;
        }
    }
    HeadendModel model;
    if (!setUp(model, p.value(state), p.value(fwOut))) return 2;

    PtyServer server(model);
    server.setVerbose(p.isSet(verbose));
    QString why;
    if (!server.start(&why)) {
        err << "meridan-headend-sim: " << why << Qt::endl;
        return 1;
    }
    if (p.isSet(link) && !server.createLink(p.value(link), &why)) {
        err << "meridan-headend-sim: " << why << Qt::endl;
        return 1;
    }
    out << server.slavePath() << Qt::endl;
    return serveUntilStopped();
}
