#include "clitool.h"

#include <QCommandLineParser>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSettings>

#include "link/link.h"
#include "link/portmap.h"
#include "link/qtserialport.h"
#include "profile.h"
#include "protocol/display.h"
#include "protocol/sequences.h"

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
    "Usage: meridan-cli --port ComN|PATH COMMAND [ARGS]\n"
    "\n"
    "Commands:\n"
    "  read [--json]        read the whole unit and print it (a table, or JSON)\n"
    "  write PROFILE.json   write a channel plan to the unit and store it there\n"
    "\n"
    "--port takes a port of the port menu (Com1 to Com15, mapped to devices as the\n"
    "program maps them, section \"Ports\" of the settings) or a device path. Without\n"
    "--port the port stored by the program is used.\n"
    "\n"
    "Exit codes:\n"
    "  0  done\n"
    "  1  link failure (the headend did not answer as it should)\n"
    "  2  bad usage or input (nothing was sent)\n"
    "  3  the port cannot be opened\n"
    "  4  differences found\n";

// Everything one run needs to talk to the headend.
class Session {
  public:
    Session(QTextStream& err)
        : settings_(QStringLiteral("Meridan"), QStringLiteral("Meridan Converter")),
          port_(PortMap(&settings_)),
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

  private:
    QSettings settings_;
    SteadyClock clock_;
    EventLoopPump pump_;
    QtSerialPort port_;
    StreamMessages messages_;
    Link link_;
    QTextStream& err_;
};

int readUnit(Session& session, bool json, QTextStream& out) {
    UnitImage unit;
    LockTextTable lockText;
    fillLockText(lockText);
    MemoryUnitView view;
    if (read_unit_data_(session.link(), unit, lockText, view) != SequenceResult::Complete) {
        return ExitLinkFailure;
    }
    if (json) {
        out << QJsonDocument(unitToJson(unit, view)).toJson(QJsonDocument::Indented);
    } else {
        out << formatUnitTable(unit, view);
    }
    return ExitOk;
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

int writeUnit(Session& session, const Profile& profile, QTextStream& out) {
    UnitImage unit;
    LockTextTable lockText;
    fillLockText(lockText);
    MemoryUnitView view;
    applyProfile(profile, view);
    const WriteOutcome outcome = set_unit_data_(session.link(), unit, lockText, view);
    if (outcome.result != SequenceResult::Complete) return ExitLinkFailure;
    out << "Written and stored: " << ConverterCount << " converters." << Qt::endl;
    return ExitOk;
}

}  // namespace

int runCli(const QStringList& arguments, QTextStream& out, QTextStream& err) {
    QCommandLineParser p;
    p.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help."));
    const QCommandLineOption port(QStringLiteral("port"), QStringLiteral("The serial port."),
                                  QStringLiteral("ComN|PATH"));
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("read: print JSON."));
    p.addOptions({help, port, json});
    p.addPositionalArgument(QStringLiteral("command"), QStringLiteral("read or write"));

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

    if (command == QLatin1String("read")) {
        if (args.size() != 1) return usageError(QStringLiteral("read takes no file"));
        Session session(err);
        if (!session.choosePort(p.value(port))) return ExitBadInput;
        if (!session.open()) return ExitPortUnavailable;
        return readUnit(session, p.isSet(json), out);
    }
    if (command == QLatin1String("write")) {
        if (args.size() != 2) return usageError(QStringLiteral("write takes one profile file"));
        if (p.isSet(json)) return usageError(QStringLiteral("--json belongs to read"));
        // The whole file is checked before the port is touched.
        const auto profile = loadProfile(args[1], err);
        if (!profile) return ExitBadInput;
        Session session(err);
        if (!session.choosePort(p.value(port))) return ExitBadInput;
        if (!session.open()) return ExitPortUnavailable;
        return writeUnit(session, *profile, out);
    }
    if (command.isEmpty()) return usageError(QStringLiteral("no command given"));
    return usageError(QStringLiteral("unknown command \"%1\"").arg(command));
}

}  // namespace meridan::cli
