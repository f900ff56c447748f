#include "clitool.h"

#include <unistd.h>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSettings>
#include <QStandardPaths>
#include <QThread>
#include <cmath>
#include <csignal>
#include <memory>

#include "flash.h"
#include "fleet.h"
#include "interrupt.h"
#include "link/deviceport.h"
#include "link/link.h"
#include "link/portmap.h"
#include "link/tcpport.h"
#include "messages/linkmessages.h"
#include "monitor.h"
#include "plan/inputfiles.h"
#include "plan/profile.h"
#include "protocol/display.h"
#include "protocol/firmware.h"
#include "protocol/sequences.h"
#include "sim/headendmodel.h"
#include "sim/simulatedport.h"
#include "sim/virtualtime.h"
#include "trace.h"

namespace meridan::cli {

using namespace meridan::plan;

MessageResult StreamMessages::show(const QString& text, const QString& title, MessageIcon,
                                   MessageButtons buttons) {
    ++shown_;
    // A message box breaks its lines at a carriage return; a terminal needs a line feed.
    QString lines = text;
    lines.replace(QStringLiteral("\r\n"), QStringLiteral("\n"))
        .replace(QLatin1Char('\r'), QLatin1Char('\n'));
    if (title.isEmpty()) {
        err_ << lines << Qt::endl;
    } else {
        err_ << title << ": " << lines << Qt::endl;
    }
    return buttons == MessageButtons::Ok ? MessageResult::Ok : MessageResult::Cancel;
}

QString formatUnitTable(const UnitImage& unit, const MemoryUnitView& view) {
    QString s;
    QTextStream t(&s);
    t << "Type:        " << printableText(view.unitType) << '\n'
      << "HW-Version:  " << printableText(view.hwVersion) << '\n'
      << "SW-Version:  " << printableText(view.swVersion) << '\n'
      << "Serial-No:  " << view.serialNo << "\n\n";
    t << "Converter  Carrier  Input        Input MHz  Gain  Input PLL  Output MHz  Output PLL\n";
    bool marked = false;
    // A value no unit reports keeps its place in the table, marked "!".
    auto mark = [&](ChannelField field, int value, const QString& text) {
        if (!isUnusual(field, value)) return text;
        marked = true;
        return text + QLatin1Char('!');
    };
    auto onOff = [](int v) {
        return v == 0 ? QStringLiteral("off") : v == 1 ? QStringLiteral("on") : QString::number(v);
    };
    for (int i = 0; i < ConverterCount; ++i) {
        const auto& c = view.channels[i];
        const int code = unit.Polarisation[i];
        const QString sat = code < SatInputs ? QStringLiteral("SAT %1").arg(code + 1)
                                             : QStringLiteral("SAT code %1").arg(code);
        t << QStringLiteral("%1  %2  %3  %4  %5  %6  %7  %8")
                 .arg(i + 1, 9)
                 .arg(mark(ChannelField::Carrier, unit.Carrier[i], onOff(unit.Carrier[i])), -7)
                 .arg(mark(ChannelField::Polarisation, code, sat), -11)
                 .arg(mark(ChannelField::InFreq, unit.InFreq[i], c.inFreq), 9)
                 .arg(mark(ChannelField::Gain, unit.Gain[i], onOff(unit.Gain[i])), -4)
                 .arg(c.inputLock, -9)
                 .arg(c.outFreq, 10)
                 .arg(c.outputLock)
          << '\n';
    }
    if (marked)
        t << "\n! outside the range a unit reports (line noise or a fault): shown as read\n";
    return s;
}

namespace {

const char* const Usage =
    "Usage: meridan-cli [--port ComN|PATH] [--trace FILE] COMMAND [ARGS]\n"
    "\n"
    "Commands:\n"
    "  ports                 every port number with its device and whether it opens now\n"
    "  read [--json]         read the whole unit and print it (a table, or JSON: a record of\n"
    "                        the unit that write restores exactly)\n"
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

QString signalName(int sig) {
    switch (sig) {
        case SIGTERM:
            return QStringLiteral("SIGTERM");
        case SIGHUP:
            return QStringLiteral("SIGHUP");
        default:
            return QStringLiteral("Ctrl+C");
    }
}

// Passes the link's failures on and keeps the last: a device server that refused the
// connection ends the tool as a port that cannot be opened does.
class FailureRecorder final : public LinkReporter {
  public:
    explicit FailureRecorder(LinkReporter& next) : next_(next) {}
    void report(const LinkFailure& failure) override {
        last = failure.error;
        next_.report(failure);
    }
    std::optional<LinkError> last;

  private:
    LinkReporter& next_;
};

// Everything one run needs to talk to the headend.
class Session {
  public:
    explicit Session(QTextStream& err)
        : settings_(SettingsOrganisation, ApplicationTitle),
          map_(&settings_),
          port_(map_),
          messages_(err),
          reporter_(messages_, QStringLiteral("meridan-cli")),
          recorder_(reporter_),
          link_(port_, clock_, pump_, recorder_),
          err_(err) {
        QObject::connect(&link_, &Link::deviceServerDelay, [&err](const QString& d, double s) {
            err << "meridan-cli: " << LinkMessages::deviceServerDelayText(d, s) << Qt::endl;
        });
    }

    // Picks the port from --port, or the one the program stored. False on bad usage.
    bool choosePort(const QString& given) {
        QString s = given;
        if (s.isEmpty()) {
            const QVariant value = settings_.value(StoredPortKey);
            const int stored = parseStoredPort(value);
            if (stored == 0) {
                err_ << "meridan-cli: no port given (--port ComN or a device path) and none stored";
                if (!value.toString().trimmed().isEmpty() &&
                    value.toString().trimmed() != QLatin1String("0")) {
                    err_ << " (COM-Port in section [Settings] of " << settings_.fileName()
                         << " is \"" << printablePath(value.toString())
                         << "\", not a port number 1 to 15)";
                }
                err_ << Qt::endl;
                return false;
            }
            s = QStringLiteral("Com%1").arg(stored);
        }
        if (const int n = parseComName(s); n > 0) {
            port_.setPortNumber(n);
        } else if (hasControlCharacter(s)) {
            err_ << "meridan-cli: --port \"" << printablePath(s)
                 << "\" holds a control character; it cannot be a device" << Qt::endl;
            return false;
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
        port_.setReceiveBufferSize(Port::ReceiveBufferBytes);
        port_.setTransmitBufferSize(Port::TransmitBufferBytes);
        return port_.open();
    }
    // Says why the port did not open; its exit code.
    int reportOpenFailure() {
        recorder_.report(link_.openFailure());
        return port_.openFailure() == OpenFailure::BadDevicePath ? ExitBadInput
                                                                 : ExitPortUnavailable;
    }
    // The exit code of a sequence the link failed: 3 when the port turned out not to be
    // usable (a device server that refused the connection), else 1.
    int failureCode() const {
        return recorder_.last == LinkError::PortNotOpened ? ExitPortUnavailable : ExitLinkFailure;
    }

    Link& link() { return link_; }
    MessageService& messages() { return messages_; }
    Clock& clock() { return clock_; }
    const PortMap& map() const { return map_; }
    Port& port() { return port_; }

  private:
    QSettings settings_;
    PortMap map_;
    SteadyClock clock_;
    EventLoopPump pump_;
    DevicePort port_;
    StreamMessages messages_;
    LinkMessages reporter_;
    FailureRecorder recorder_;
    Link link_;
    QTextStream& err_;
};

// Keeps what a second signal says of the unit up to date as the frames of a write go out.
class UnitStateTracker final : public WireObserver {
  public:
    UnitStateTracker(InterruptWatch& interrupt, WireObserver* next)
        : interrupt_(interrupt), next_(next) {}
    void onWire(WireDirection direction, const QByteArray& bytes, double time) override;
    void setState(const QString& state) { interrupt_.setStateNow(state); }
    // From now on the frames are the write's; `backup` is the backup taken before it.
    void writing(const QString& backup) {
        writing_ = true;
        backup_ = backup;
        storeSent_ = stored_ = false;
        setState(QStringLiteral("plan not written: the unit is as it was"));
    }
    void writeDone() { writing_ = false; }

  private:
    InterruptWatch& interrupt_;
    WireObserver* next_;
    QString backup_;
    QByteArray lastIn_;
    bool writing_ = false;
    bool storeSent_ = false;
    bool stored_ = false;
};

// What a command needs besides its arguments.
struct Context {
    Session& session;
    InterruptWatch& interrupt;
    UnitStateTracker& tracker;
    QTextStream& out;
    QTextStream& err;
    bool confirm = false;  // --confirm: every value read twice
};

// The unit as read: image, what the window would show, what the checked reads found.
struct ReadResult {
    UnitImage unit;
    MemoryUnitView view;
    ReadCheck check;
    SequenceResult result = SequenceResult::Failed;
    bool ok() const { return result == SequenceResult::Complete; }
};

// Every read of the tool reads a value outside the range a unit reports again; with
// `confirm`, every value.
ReadResult readAll(Link& link, bool confirm) {
    ReadResult r;
    r.check.confirmAll = confirm;
    LockTextTable lockText;
    fillLockText(lockText);
    r.result = read_unit_data_(link, r.unit, lockText, r.view, &r.check);
    return r;
}

// "every value read twice and confirmed (2 repeated reads)"; empty when nothing was read again.
QString readSummary(const ReadCheck& check) {
    const QString repeats = check.repeatedReads == 1
                                ? QStringLiteral("1 repeated read")
                                : QStringLiteral("%1 repeated reads").arg(check.repeatedReads);
    if (check.confirmAll)
        return QStringLiteral("every value read twice and confirmed (%1)").arg(repeats);
    if (check.repeatedReads > 0)
        return repeats + QStringLiteral(" of values outside the range a unit reports");
    return {};
}

// Values whose reads never agreed go to stderr under `headline`. True when there were any:
// nothing may act on such a read.
bool reportUnsettled(const ReadCheck& check, const QString& headline, QTextStream& err) {
    if (check.unsettled.isEmpty()) return false;
    err << "meridan-cli: " << headline << Qt::endl;
    for (const QString& l : check.unsettled)
        err << "  " << l << Qt::endl;
    return true;
}

const QString UnsettledRead =
    QStringLiteral("the reads of these values did not agree (line noise?), each read as listed:");

const QString UnusualRead = QStringLiteral(
    "the unit reported values outside the range a unit reports (line noise or a fault?), "
    "shown as read:");

// Values no unit reports (line noise or a fault) go to stderr under `headline`; the table
// marks them too. True when there were any.
bool reportUnusual(const UnitImage& unit, const QString& headline, QTextStream& err) {
    const QStringList lines = unusualValues(unit);
    if (lines.isEmpty()) return false;
    err << "meridan-cli: " << headline << Qt::endl;
    for (const QString& l : lines)
        err << "  " << l << Qt::endl;
    return true;
}

std::optional<Profile> loadProfile(const QString& path, QTextStream& err) {
    QString why;
    const auto data = readRegularFile(path, ProfileMaxBytes, &why);
    if (!data) {
        err << "meridan-cli: " << path << ": " << why << Qt::endl;
        return std::nullopt;
    }
    auto parsed = parseProfile(*data);
    if (auto* e = std::get_if<QString>(&parsed)) {
        err << "meridan-cli: " << path << ": " << *e << Qt::endl;
        return std::nullopt;
    }
    return std::get<Profile>(parsed);
}

int cmdPorts(Session& session, QTextStream& out) {
    Port& port = session.port();
    std::array<QString, LastComPort + 1> device, state;
    std::vector<std::unique_ptr<QThread>> probes;
    for (int n = FirstComPort; n <= LastComPort; ++n) {
        const QString path = session.map().devicePath(n);
        device[n] = printablePath(path);
        if (isNetworkAddress(path)) {
            // A server may take 5 s to answer or to set the line: every server is tried at
            // once, each on a thread of its own with a port of its own.
            probes.emplace_back(QThread::create([&result = state[n], path] {
                TcpPort network;
                network.setAddress(path.trimmed());
                result = network.open() ? QStringLiteral("opens")
                                        : QStringLiteral("- (%1)").arg(network.errorText());
                network.close();
            }));
            probes.back()->start();
            continue;
        }
        state[n] = QStringLiteral("-");
        if (session.link().TestComPort(n)) {
            state[n] = QStringLiteral("opens");
        } else if (port.openFailure() == OpenFailure::InUse ||
                   port.openFailure() == OpenFailure::BadDevicePath) {
            state[n] = QStringLiteral("- (%1)").arg(port.errorText());
        }
    }
    for (const auto& probe : probes)
        probe->wait();
    qsizetype width = 0;
    for (int n = FirstComPort; n <= LastComPort; ++n)
        width = std::max(width, device[n].size());
    for (int n = FirstComPort; n <= LastComPort; ++n) {
        out << QStringLiteral("Com%1").arg(n, -6)
            << QStringLiteral("%1").arg(device[n], -int(width)) << "  " << state[n] << '\n';
    }
    return ExitOk;
}

// Whether what a command printed reached standard output; said on stderr when not (the
// reader of a pipe has gone).
bool outputWritten(Context& c) {
    c.out.flush();
    if (c.out.status() == QTextStream::Ok) return true;
    c.err << "meridan-cli: the output could not be written (standard output is closed)" << Qt::endl;
    return false;
}

int cmdRead(Context& c, bool json) {
    const ReadResult r = readAll(c.session.link(), c.confirm);
    if (c.interrupt.received()) {
        c.err << "meridan-cli: read interrupted; nothing on the unit was changed" << Qt::endl;
        return c.interrupt.exitCode();
    }
    if (!r.ok()) return c.session.failureCode();
    // A value whose reads disagree is not shown: a record of it could restore it.
    if (reportUnsettled(r.check, UnsettledRead + QStringLiteral(" nothing is shown"), c.err))
        return ExitLinkFailure;
    if (json) {
        c.out << QJsonDocument(unitToJson(r.unit, r.view, r.check.confirmAll))
                     .toJson(QJsonDocument::Indented);
    } else {
        c.out << formatUnitTable(r.unit, r.view);
    }
    if (!outputWritten(c)) return ExitLinkFailure;
    if (const QString summary = readSummary(r.check); !summary.isEmpty())
        c.err << "meridan-cli: read: " << summary << Qt::endl;
    return reportUnusual(r.unit, UnusualRead, c.err) ? ExitDifferences : ExitOk;
}

int cmdDiff(Context& c, const Profile& profile) {
    const ReadResult r = readAll(c.session.link(), c.confirm);
    if (c.interrupt.received()) {
        c.err << "meridan-cli: diff interrupted; nothing on the unit was changed" << Qt::endl;
        return c.interrupt.exitCode();
    }
    if (!r.ok()) return c.session.failureCode();
    if (reportUnsettled(r.check, UnsettledRead + QStringLiteral(" nothing is compared"), c.err))
        return ExitLinkFailure;
    if (const QString summary = readSummary(r.check); !summary.isEmpty())
        c.err << "meridan-cli: diff: " << summary << Qt::endl;
    reportUnusual(r.unit, UnusualRead, c.err);
    const QStringList lines = diffPlan(r.unit, profile, QStringLiteral("in profile"));
    for (const QString& l : lines)
        c.out << l << '\n';
    if (!outputWritten(c)) return ExitLinkFailure;
    return lines.isEmpty() ? ExitOk : ExitDifferences;
}

// What the unit holds after a write that did not complete, and where its backup is.
QString unitState(const WriteOutcome& w, const QString& backup) {
    QString s = unitStateAfterWrite(w);
    if (w.stored || !changedSomething(w)) return s;
    s += backup.isEmpty() ? QStringLiteral("; no backup was taken")
                          : QStringLiteral("; the backup is %1").arg(backup);
    return s;
}

void UnitStateTracker::onWire(WireDirection direction, const QByteArray& bytes, double time) {
    if (next_) next_->onWire(direction, bytes, time);
    if (!writing_) return;
    if (direction == WireDirection::FromDevice) {
        lastIn_ = (lastIn_ + bytes).right(2);
        if (storeSent_ && !stored_ && lastIn_ == "EN") {
            stored_ = true;
            setState(QStringLiteral("plan stored; not read back"));
        }
        return;
    }
    if (bytes.size() != CommandFrame::Size) return;
    lastIn_.clear();
    const auto code = static_cast<std::uint8_t>(bytes[0]);
    if (stored_ || code == ComEnd) return;
    WriteOutcome w;
    w.setSent = true;
    if (code == SaveSettings) {
        storeSent_ = true;
        w.convertersSent = ConverterCount;
    } else {
        // A converter's last command reads its output lock: its settings are all sent.
        const int index = static_cast<std::uint8_t>(bytes[1]);
        w.convertersSent = code == ReadOutputLock ? index + 1 : index;
    }
    setState(unitState(w, backup_));
}

// Saves what the unit holds, then loads the file back as write would: a backup that would
// not restore the unit stops the write before its first set command.
int takeBackup(Context& c, const QString& folder, QString* path) {
    c.tracker.setState(QStringLiteral("nothing was written, the unit is as it was"));
    const ReadResult before = readAll(c.session.link(), c.confirm);
    if (c.interrupt.received()) {
        c.err << "meridan-cli: interrupted during the backup read; nothing was written, the unit "
                 "is as it was"
              << Qt::endl;
        return c.interrupt.exitCode();
    }
    if (!before.ok()) {
        c.err << "meridan-cli: the unit could not be read for the backup; nothing was written"
              << Qt::endl;
        return c.session.failureCode();
    }
    if (reportUnsettled(before.check,
                        QStringLiteral("backup read: ") + UnsettledRead +
                            QStringLiteral(" nothing was written, the unit is as it was"),
                        c.err)) {
        return ExitLinkFailure;
    }
    reportUnusual(before.unit,
                  QStringLiteral("the unit reported values outside the range a unit reports; "
                                 "the backup keeps them exactly as read:"),
                  c.err);
    QString why;
    const QByteArray record =
        QJsonDocument(unitToJson(before.unit, before.view, before.check.confirmAll))
            .toJson(QJsonDocument::Indented);
    *path = saveBackup(folder, record, before.unit, &why);
    if (path->isEmpty()) {
        c.err << "meridan-cli: the backup could not be saved in " << folder << ": " << why
              << "; nothing was written" << Qt::endl;
        return ExitLinkFailure;
    }
    QString reloadError;
    QTextStream reloadErrors(&reloadError);
    const auto reloaded = loadProfile(*path, reloadErrors);
    reloadErrors.flush();
    auto same = [](const ChannelSettings& a, const ChannelSettings& b) {
        for (int i = 0; i < ConverterCount; ++i) {
            if (a[i].polarisation != b[i].polarisation || a[i].inFreq != b[i].inFreq ||
                a[i].gain != b[i].gain || a[i].carrier != b[i].carrier) {
                return false;
            }
        }
        return true;
    };
    if (!reloaded || !reloaded->fromUnit || !same(reloaded->settings, settingsOf(before.unit))) {
        c.err << "meridan-cli: the backup " << *path
              << " would not restore the unit as it is; nothing was written" << Qt::endl;
        c.err << reloadError;
        return ExitLinkFailure;
    }
    c.out << "Backup of the unit's plan: " << *path << Qt::endl;
    if (const QString summary = readSummary(before.check); !summary.isEmpty())
        c.out << "Backup read: " << summary << '.' << Qt::endl;
    return ExitOk;
}

struct WriteOptions {
    bool backup = true;
    QString backupDir;
};

int cmdWrite(Context& c, const QString& file, const Profile& profile, const WriteOptions& opts) {
    QString backup;
    if (opts.backup) {
        if (const int code = takeBackup(c, opts.backupDir, &backup); code != ExitOk) return code;
    }
    if (profile.fromUnit) {
        c.out << file << " is a record read from a unit: its values go back exactly as read."
              << Qt::endl;
    }
    UnitImage unit;
    LockTextTable lockText;
    fillLockText(lockText);
    MemoryUnitView view;
    c.tracker.writing(backup);
    const WriteOutcome w =
        writeChannelSettings(c.session.link(), profile.settings, unit, lockText, view);
    c.tracker.writeDone();
    if (c.interrupt.received()) {
        c.err << "meridan-cli: interrupted: " << unitState(w, backup)
              << (w.stored ? QStringLiteral("; not read back") : QString()) << Qt::endl;
        return c.interrupt.exitCode();
    }
    if (w.result != SequenceResult::Complete) {
        if (w.stored) {
            c.err << "meridan-cli: the plan was stored in the unit, but the end of communication "
                     "failed; not read back (meridan-cli diff "
                  << file << " checks it)" << Qt::endl;
        } else {
            c.err << "meridan-cli: " << unitState(w, backup) << Qt::endl;
        }
        return w.setSent ? ExitLinkFailure : c.session.failureCode();
    }
    c.out << "Written and stored: " << ConverterCount << " converters." << Qt::endl;

    c.tracker.setState(QStringLiteral("plan stored; the read-back was not finished"));
    const ReadResult after = readAll(c.session.link(), c.confirm);
    if (c.interrupt.received()) {
        c.err << "meridan-cli: interrupted: plan stored; the read-back was not finished"
              << Qt::endl;
        return c.interrupt.exitCode();
    }
    if (!after.ok()) {
        c.err << "meridan-cli: the plan was stored, but the unit could not be read back"
              << Qt::endl;
        return ExitLinkFailure;
    }
    if (reportUnsettled(after.check,
                        QStringLiteral("read back: ") + UnsettledRead +
                            QStringLiteral(" the plan was stored; whether the unit took it is "
                                           "not known (meridan-cli diff ") +
                            file + QStringLiteral(" checks it)"),
                        c.err)) {
        return ExitLinkFailure;
    }
    if (const QString summary = readSummary(after.check); !summary.isEmpty())
        c.out << "Read back: " << summary << '.' << Qt::endl;
    reportUnusual(after.unit, QStringLiteral("read back: values outside the range a unit reports:"),
                  c.err);
    const QStringList lines = diffPlan(after.unit, profile, QStringLiteral("written"));
    if (lines.isEmpty()) {
        c.out << "Read back: the unit holds the plan." << Qt::endl;
        return ExitOk;
    }
    c.out << "Read back: the unit did not take " << lines.size()
          << (lines.size() == 1 ? " field:" : " fields:") << Qt::endl;
    for (const QString& l : lines)
        c.out << l << '\n';
    return ExitDifferences;
}

// The commands a write would send, found by writing to a simulated unit: the backup read, the
// write and store, and the read-back.
int cmdDryRun(const Profile& profile, bool backup, bool confirm, QTextStream& out, QTextStream& err,
              WireObserver* trace) {
    sim::VirtualClock clock;
    sim::HeadendModel model;
    sim::SimulatedPort port(model, clock);
    sim::VirtualPump pump(clock, port);
    StreamMessages messages(err);
    LinkMessages reporter(messages, QStringLiteral("meridan-cli"));
    Link link(port, clock, pump, reporter);
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
    out << "Dry run: these commands would be sent (nothing is sent).\n";
    int total = 0;
    auto phase = [&](const char* title, const std::function<bool()>& run) {
        out << '\n' << title << ":\n";
        lister.commands = 0;
        const bool ok = run();
        out << lister.commands << " commands.\n";
        total += lister.commands;
        return ok;
    };
    UnitImage unit;
    LockTextTable lockText;
    fillLockText(lockText);
    MemoryUnitView view;
    auto read = [&] {
        ReadCheck check;
        check.confirmAll = confirm;
        return read_unit_data_(link, unit, lockText, view, &check) == SequenceResult::Complete;
    };
    if (backup) {
        if (!phase("1. Backup read (what the unit holds, saved before anything is written)", read))
            return ExitLinkFailure;
    } else {
        out << "\n1. Backup read: left out (--no-backup).\n";
    }
    if (!phase("2. Write and store", [&] {
            return writeChannelSettings(link, profile.settings, unit, lockText, view).result ==
                   SequenceResult::Complete;
        })) {
        return ExitLinkFailure;
    }
    if (!phase("3. Read back (what the unit took)", read)) return ExitLinkFailure;
    out << '\n' << total << " commands in all.\n";
    out.flush();
    return ExitOk;
}

int cmdFlash(Context& c, const QString& image) {
    Session& session = c.session;
    FlashProgress progress(image, session.clock(), c.err, ::isatty(STDERR_FILENO) == 1);
    FirmwareTransfer transfer(session.link(), progress);
    const double start = session.clock().now();
    const FirmwareTransfer::Outcome outcome = transfer.RunUpdate();
    progress.finishLine();
    const double seconds = session.clock().now() - start;
    const FirmwareTransfer::Figures& f = transfer.figures();
    if (c.interrupt.received() && outcome != FirmwareTransfer::Outcome::Success) {
        const qint64 whole = qint64(f.sectors) * SectorBytes;
        c.err << "meridan-cli: interrupted: ";
        if (f.bytesSent == 0) {
            c.err << "none of the image was sent; the module keeps its firmware";
        } else if (f.bytesSent < whole) {
            c.err << QStringLiteral(
                         "%1 of %2 bytes of the image had been sent; the module has not "
                         "got the whole image and takes a fresh update (run flash "
                         "again)")
                         .arg(f.bytesSent)
                         .arg(whole);
        } else {
            c.err << "the whole image was sent, but the module's confirmation was not awaited";
        }
        c.err << Qt::endl;
        return c.interrupt.exitCode();
    }
    switch (outcome) {
        case FirmwareTransfer::Outcome::Success: {
            const double rate = double(f.bytesSent) / seconds;
            c.out << QStringLiteral(
                         "Sent %1: %2 bytes (%3 %4) in %5 %6, %7 s; average %8 B/s, %9% of the "
                         "5760 B/s line rate\n")
                         .arg(QDir::toNativeSeparators(image))
                         .arg(f.bytesSent)
                         .arg(f.sectors)
                         .arg(f.sectors == 1 ? QStringLiteral("sector") : QStringLiteral("sectors"))
                         .arg(f.attempt)
                         .arg(f.attempt == 1 ? QStringLiteral("attempt")
                                             : QStringLiteral("attempts"))
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
    const QCommandLineOption confirmOption(
        QStringLiteral("confirm"),
        QStringLiteral("read, diff, write, monitor: read every value twice."));
    p.addOptions({help, version, port, trace, json, dryRun, noBackup, backupDir, confirmOption});
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
    if ((p.isSet(dryRun) || p.isSet(noBackup) || p.isSet(backupDir)) &&
        command != QLatin1String("write")) {
        return usageError(
            QStringLiteral("--dry-run, --no-backup and --backup-dir belong to write"));
    }

    // Whatever is read from files is checked before the port is touched, the settings too:
    // a settings file that is a FIFO would hold the tool for ever.
    if (const QString why = unusableSettingsFile(); !why.isEmpty()) {
        err << "meridan-cli: " << why << "; nothing was sent" << Qt::endl;
        return ExitBadInput;
    }
    std::optional<Profile> profile;
    if (command == QLatin1String("diff") || command == QLatin1String("write")) {
        profile = loadProfile(args[1], err);
        if (!profile) return ExitBadInput;
    }
    if (command == QLatin1String("flash")) {
        QString why;
        if (!isReadableRegularFile(args[1], &why)) {
            err << "meridan-cli: The firmware image " << QDir::toNativeSeparators(args[1]) << ' '
                << why << Qt::endl;
            return ExitBadInput;
        }
        const ImageCheck check = checkFirmwareImage(args[1]);
        if (!check.error.isEmpty()) {
            err << "meridan-cli: " << check.error << Qt::endl;
            return ExitBadInput;
        }
    }
    QFile traceFile;
    std::unique_ptr<TraceWriter> tracer;
    if (p.isSet(trace)) {
        // The trace must not write over what the run reads.
        QList<QPair<QString, QString>> inputs;
        if (profile) inputs.append({QStringLiteral("the profile"), args[1]});
        if (command == QLatin1String("flash"))
            inputs.append({QStringLiteral("the image"), args[1]});
        for (const QString& file : settingsFiles())
            inputs.append({QStringLiteral("the settings file"), file});
        if (const QString input = overwrittenInput(p.value(trace), inputs); !input.isEmpty()) {
            err << "meridan-cli: --trace " << p.value(trace) << " would write over " << input
                << " (the same file); nothing was sent" << Qt::endl;
            return ExitBadInput;
        }
        QString why;
        if (!openTraceFile(traceFile, p.value(trace), &why)) {
            err << "meridan-cli: " << p.value(trace) << ": cannot be written: " << why << Qt::endl;
            return ExitBadInput;
        }
        tracer = std::make_unique<TraceWriter>(&traceFile);
        tracer->onFailure = [&err, path = p.value(trace)](const QString& reason) {
            err << "\nmeridan-cli: the trace " << path << " could not be written: " << reason
                << "; the run goes on without it" << Qt::endl;
        };
        tracer->note(QStringLiteral("meridan-cli %1, %2")
                         .arg(arguments.join(QLatin1Char(' ')),
                              QDateTime::currentDateTime().toString(Qt::ISODate)));
    }
    // The trace ends with how the run ended; a trace that could not be written fails a run
    // that otherwise succeeded.
    auto finish = [&](int code) {
        if (!tracer) return code;
        tracer->note(QStringLiteral("ended with exit code %1").arg(code));
        return tracer->failed() && code == ExitOk ? int(ExitLinkFailure) : code;
    };

    const bool isWrite = command == QLatin1String("write");
    WriteOptions opts;
    if (isWrite) {
        opts.backup = !p.isSet(noBackup);
        opts.backupDir = p.isSet(backupDir) ? p.value(backupDir) : defaultBackupFolder();
        // A dry run leaves no folder behind that the check made.
        QStringList made;
        for (QDir d(QDir::cleanPath(QDir(opts.backupDir).absolutePath()));
             p.isSet(dryRun) && !d.exists() && !d.isRoot(); d.setPath(QFileInfo(d.path()).path()))
            made << d.path();
        QString why;
        const bool kept = !opts.backup || prepareBackupFolder(opts.backupDir, &why);
        for (const QString& folder : std::as_const(made))
            QDir().rmdir(folder);
        if (!kept) {
            err << "meridan-cli: no backup can be kept: " << why
                << "; nothing was sent (--backup-dir DIR names another folder)" << Qt::endl;
            return finish(ExitBadInput);
        }
    }

    Session session(err);
    // Watched from before the port opens: a device server may take seconds to connect.
    InterruptWatch interrupt;
    UnitStateTracker tracker(interrupt, tracer.get());
    session.link().setWireObserver(&tracker);
    if (tracer) interrupt.setTraceDescriptor(traceFile.handle());
    if (command == QLatin1String("ports")) return finish(cmdPorts(session, out));
    if (!session.choosePort(p.value(port))) return finish(ExitBadInput);

    const bool isFlash = command == QLatin1String("flash");
    interrupt.onInterrupt = [&](int sig) {
        err << "\nmeridan-cli: " << signalName(sig)
            << (isFlash ? QStringLiteral(": stopping the transfer")
                        : QStringLiteral(": finishing the exchange in progress, then ending the "
                                         "communication"))
            << " (" << signalName(sig) << " again stops at once)" << Qt::endl;
        if (tracer) tracer->note(QStringLiteral("interrupted by %1").arg(signalName(sig)));
        session.port().cancelOpen();
        // A firmware transfer has no end command: it stops without a further byte, and the
        // module drops the update after its pause.
        if (isFlash) {
            session.link().abort();
        } else {
            session.link().requestStop();
        }
    };
    tracker.setState(isFlash ? QStringLiteral("the module has not got the whole image")
                             : QStringLiteral("nothing on the unit was changed"));
    // Phones are served from before the unit's port is opened, so a server that cannot
    // listen stops the monitor before anything is sent.
    std::unique_ptr<PhoneServe> phones;
    if (isMonitor && monitorOptions->serve) {
        phones = startServing(*monitorOptions, session.clock(), err, ::isatty(STDERR_FILENO) == 1);
        if (!phones) return finish(ExitBadInput);
    }
    if (!session.open()) {
        if (interrupt.received()) {
            err << "meridan-cli: interrupted while the port was being opened; nothing was sent"
                << Qt::endl;
            return finish(interrupt.exitCode());
        }
        return finish(session.reportOpenFailure());
    }
    const bool confirm = p.isSet(confirmOption);
    if (isWrite && p.isSet(dryRun)) {
        // A pre-flight: the plan, the backup folder and the port are checked as for the
        // write itself; the commands come from a simulated unit.
        const QString device = session.port().deviceName();
        session.port().close();
        const int code = cmdDryRun(*profile, opts.backup, confirm, out, err, tracer.get());
        if (code == ExitOk) {
            out << "\nThe port " << device << " opens"
                << (opts.backup ? ", the backup folder can be written" : "")
                << "; no byte was sent to the unit." << Qt::endl;
        }
        return finish(code);
    }
    Context c{session, interrupt, tracker, out, err, confirm};
    if (command == QLatin1String("read")) return finish(cmdRead(c, p.isSet(json)));
    if (command == QLatin1String("diff")) return finish(cmdDiff(c, *profile));
    if (isMonitor) {
        monitorOptions->confirm = confirm;
        return finish(runMonitor(session.link(), *monitorOptions, out, err,
                                 ::isatty(STDOUT_FILENO) == 1, phones.get()));
    }
    if (isWrite) return finish(cmdWrite(c, args[1], *profile, opts));
    return finish(cmdFlash(c, args[1]));
}

}  // namespace meridan::cli
