#include "commands.h"

#include <unistd.h>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QSettings>
#include <QThread>
#include <cmath>
#include <memory>

#include "clitool.h"
#include "flash.h"
#include "interrupt.h"
#include "link/deviceport.h"
#include "link/link.h"
#include "link/portmap.h"
#include "link/tcpport.h"
#include "messages/linkmessages.h"
#include "plan/inputfiles.h"
#include "plan/profile.h"
#include "protocol/display.h"
#include "protocol/firmware.h"
#include "protocol/sequences.h"
#include "report/report.h"
#include "sim/headendmodel.h"
#include "sim/simulatedport.h"
#include "sim/virtualtime.h"
#include "trace.h"
#include "unittable.h"

namespace meridan::cli {

using namespace meridan::plan;

namespace {

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
    explicit Session(Voice& voice)
        : settings_(SettingsOrganisation, ApplicationTitle),
          map_(&settings_),
          port_(map_),
          messages_(voice),
          reporter_(messages_, QStringLiteral("meridan-cli")),
          recorder_(reporter_),
          link_(port_, clock_, pump_, recorder_),
          voice_(voice) {
        QObject::connect(&link_, &Link::deviceServerDelay, [&voice](const QString& d, double s) {
            voice.say(LinkMessages::deviceServerDelayText(d, s));
        });
    }

    // Picks the port from --port, or the one the program stored. False on bad usage.
    bool choosePort(const Request& r) {
        QString s = r.port;
        if (!r.portGiven) {
            const QVariant value = settings_.value(StoredPortKey);
            const int stored = parseStoredPort(value);
            if (stored == 0) {
                auto said = voice_.say();
                said << "no port given (--port ComN or a device path) and none stored";
                if (!value.toString().trimmed().isEmpty() &&
                    value.toString().trimmed() != QLatin1String("0")) {
                    said << " (COM-Port in section [Settings] of " << settings_.fileName()
                         << " is \"" << printablePath(value.toString())
                         << "\", not a port number 1 to 15)";
                }
                return false;
            }
            s = QStringLiteral("Com%1").arg(stored);
        }
        if (const int n = parseComName(s); n > 0) {
            port_.setPortNumber(n);
        } else if (hasControlCharacter(s)) {
            voice_.say() << "--port \"" << printablePath(s)
                         << "\" holds a control character; it cannot be a device";
            return false;
        } else if (s.contains(QLatin1Char('/'))) {
            port_.setDevicePath(s);
        } else {
            voice_.say() << "--port takes Com1 to Com15 or a device path, not \"" << s << '"';
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
    Clock& clock() { return clock_; }
    const PortMap& map() const { return map_; }
    Port& port() { return port_; }
    // The port as a report names it: "Com5 (/dev/ttyUSB0)", "tcp://cabinet-3.example:4001".
    QString portName() const {
        const QString device = port_.deviceName();
        const int n = port_.portNumber();
        return n > 0 ? QStringLiteral("Com%1 (%2)").arg(n).arg(device) : device;
    }

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
    Voice& voice_;
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
    Streams& streams;
    UnitOutcome& outcome;
    bool confirm = false;  // --confirm: every value read twice
    QTextStream& out() { return streams.out; }
    Voice& voice() { return streams.voice; }
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

// Values whose reads never agreed are said under `headline`. True when there were any:
// nothing may act on such a read.
bool reportUnsettled(const ReadCheck& check, const QString& headline, Voice& voice) {
    if (check.unsettled.isEmpty()) return false;
    voice.say(headline);
    for (const QString& l : check.unsettled)
        voice.put(QStringLiteral("  ") + l);
    return true;
}

const QString UnsettledRead =
    QStringLiteral("the reads of these values did not agree (line noise?), each read as listed:");

const QString UnusualRead = QStringLiteral(
    "the unit reported values outside the range a unit reports (line noise or a fault?), "
    "shown as read:");

// Values no unit reports (line noise or a fault) are said under `headline`; the table marks
// them too. Returns them.
QStringList reportUnusual(const UnitImage& unit, const QString& headline, Voice& voice) {
    const QStringList lines = unusualValues(unit);
    if (lines.isEmpty()) return lines;
    voice.say(headline);
    for (const QString& l : lines)
        voice.put(QStringLiteral("  ") + l);
    return lines;
}

std::optional<Profile> loadProfile(const QString& path, Voice& voice) {
    QString why;
    const auto data = readRegularFile(path, ProfileMaxBytes, &why);
    if (!data) {
        voice.say() << path << ": " << why;
        return std::nullopt;
    }
    auto parsed = parseProfile(*data);
    if (auto* e = std::get_if<QString>(&parsed)) {
        voice.say() << path << ": " << *e;
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

// Whether what a command printed reached standard output; said when not (the reader of a pipe
// has gone).
bool outputWritten(Context& c) {
    c.out().flush();
    if (c.out().status() == QTextStream::Ok) return true;
    c.voice().say(QStringLiteral("the output could not be written (standard output is closed)"));
    return false;
}

// The commissioning report of the unit as read, as the program writes it; the command line
// knows of no Save, backup or firmware of the program's.
bool writeReport(Context& c, const QString& path) {
    report::Commissioning page;
    page.unit = *c.outcome.unit;
    page.port = c.outcome.port;
    page.readAt = c.outcome.readAt;
    page.program = QStringLiteral("meridan-cli %1.%2.%3")
                       .arg(MERIDAN_VERSION_MAJOR)
                       .arg(MERIDAN_VERSION_MINOR)
                       .arg(MERIDAN_VERSION_PATCH);
    QString why;
    if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        why = QStringLiteral("no fonts to draw with");
    } else if (report::writePdf(path, page, &why)) {
        c.outcome.pdf = path;
        return true;
    }
    c.voice().say() << "the report " << path << " could not be written: " << why;
    return false;
}

int cmdRead(Context& c, const Request& request) {
    const ReadResult r = readAll(c.session.link(), c.confirm);
    if (c.interrupt.received()) {
        c.voice().say(QStringLiteral("read interrupted; nothing on the unit was changed"));
        return c.interrupt.exitCode();
    }
    if (!r.ok()) return c.session.failureCode();
    // A value whose reads disagree is not shown: a record of it could restore it.
    if (reportUnsettled(r.check, UnsettledRead + QStringLiteral(" nothing is shown"), c.voice()))
        return ExitLinkFailure;
    c.outcome.unit = r.unit;
    c.outcome.readAt = QDateTime::currentDateTime();
    c.outcome.port = c.session.portName();
    c.outcome.record = unitToJson(r.unit, r.view, r.check.confirmAll);
    if (request.print) {
        if (request.json) {
            c.out() << QJsonDocument(c.outcome.record).toJson(QJsonDocument::Indented);
        } else {
            c.out() << formatUnitTable(r.unit, r.view);
        }
        if (!outputWritten(c)) return ExitLinkFailure;
    }
    if (const QString summary = readSummary(r.check); !summary.isEmpty())
        c.voice().say(QStringLiteral("read: ") + summary);
    c.outcome.unusual = reportUnusual(r.unit, UnusualRead, c.voice());
    if (!request.pdf.isEmpty() && !writeReport(c, request.pdf)) return ExitLinkFailure;
    return c.outcome.unusual.isEmpty() ? ExitOk : ExitDifferences;
}

int cmdDiff(Context& c, const Profile& profile) {
    const ReadResult r = readAll(c.session.link(), c.confirm);
    if (c.interrupt.received()) {
        c.voice().say(QStringLiteral("diff interrupted; nothing on the unit was changed"));
        return c.interrupt.exitCode();
    }
    if (!r.ok()) return c.session.failureCode();
    if (reportUnsettled(r.check, UnsettledRead + QStringLiteral(" nothing is compared"), c.voice()))
        return ExitLinkFailure;
    if (const QString summary = readSummary(r.check); !summary.isEmpty())
        c.voice().say(QStringLiteral("diff: ") + summary);
    c.outcome.unusual = reportUnusual(r.unit, UnusualRead, c.voice());
    c.outcome.differences = diffPlan(r.unit, profile, QStringLiteral("in profile"));
    for (const QString& l : std::as_const(c.outcome.differences))
        c.out() << l << '\n';
    if (!outputWritten(c)) return ExitLinkFailure;
    return c.outcome.differences.isEmpty() ? ExitOk : ExitDifferences;
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
        c.voice().say(
            QStringLiteral("interrupted during the backup read; nothing was written, the unit "
                           "is as it was"));
        return c.interrupt.exitCode();
    }
    if (!before.ok()) {
        c.voice().say(
            QStringLiteral("the unit could not be read for the backup; nothing was written"));
        return c.session.failureCode();
    }
    if (reportUnsettled(before.check,
                        QStringLiteral("backup read: ") + UnsettledRead +
                            QStringLiteral(" nothing was written, the unit is as it was"),
                        c.voice())) {
        return ExitLinkFailure;
    }
    reportUnusual(before.unit,
                  QStringLiteral("the unit reported values outside the range a unit reports; "
                                 "the backup keeps them exactly as read:"),
                  c.voice());
    QString why;
    const QByteArray record =
        QJsonDocument(unitToJson(before.unit, before.view, before.check.confirmAll))
            .toJson(QJsonDocument::Indented);
    *path = saveBackup(folder, record, before.unit, &why);
    if (path->isEmpty()) {
        c.voice().say() << "the backup could not be saved in " << folder << ": " << why
                        << "; nothing was written";
        return ExitLinkFailure;
    }
    Voice reloadVoice(nullptr);
    QStringList reloadErrors;
    reloadVoice.onLine = [&reloadErrors](const QString& l) { reloadErrors << l; };
    const auto reloaded = loadProfile(*path, reloadVoice);
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
        c.voice().say() << "the backup " << *path
                        << " would not restore the unit as it is; nothing was written";
        for (const QString& l : std::as_const(reloadErrors))
            c.voice().say(l);
        return ExitLinkFailure;
    }
    c.outcome.backup = *path;
    c.out() << "Backup of the unit's plan: " << *path << Qt::endl;
    if (const QString summary = readSummary(before.check); !summary.isEmpty())
        c.out() << "Backup read: " << summary << '.' << Qt::endl;
    return ExitOk;
}

int cmdWrite(Context& c, const Request& request, const Profile& profile) {
    QString backup;
    if (request.backup) {
        if (const int code = takeBackup(c, request.backupDir, &backup); code != ExitOk) return code;
    }
    const QString& file = request.file;
    if (profile.fromUnit) {
        c.out() << file << " is a record read from a unit: its values go back exactly as read."
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
        c.voice().say() << "interrupted: " << unitState(w, backup)
                        << (w.stored ? QStringLiteral("; not read back") : QString());
        return c.interrupt.exitCode();
    }
    if (w.result != SequenceResult::Complete) {
        if (w.stored) {
            c.voice().say() << "the plan was stored in the unit, but the end of communication "
                               "failed; not read back (meridan-cli diff "
                            << file << " checks it)";
        } else {
            c.voice().say(unitState(w, backup));
        }
        return w.setSent ? ExitLinkFailure : c.session.failureCode();
    }
    c.out() << "Written and stored: " << ConverterCount << " converters." << Qt::endl;

    c.tracker.setState(QStringLiteral("plan stored; the read-back was not finished"));
    const ReadResult after = readAll(c.session.link(), c.confirm);
    if (c.interrupt.received()) {
        c.voice().say(QStringLiteral("interrupted: plan stored; the read-back was not finished"));
        return c.interrupt.exitCode();
    }
    if (!after.ok()) {
        c.voice().say(QStringLiteral("the plan was stored, but the unit could not be read back"));
        return ExitLinkFailure;
    }
    if (reportUnsettled(after.check,
                        QStringLiteral("read back: ") + UnsettledRead +
                            QStringLiteral(" the plan was stored; whether the unit took it is "
                                           "not known (meridan-cli diff ") +
                            file + QStringLiteral(" checks it)"),
                        c.voice())) {
        return ExitLinkFailure;
    }
    if (const QString summary = readSummary(after.check); !summary.isEmpty())
        c.out() << "Read back: " << summary << '.' << Qt::endl;
    reportUnusual(after.unit, QStringLiteral("read back: values outside the range a unit reports:"),
                  c.voice());
    c.outcome.differences = diffPlan(after.unit, profile, QStringLiteral("written"));
    const QStringList& lines = c.outcome.differences;
    if (lines.isEmpty()) {
        c.out() << "Read back: the unit holds the plan." << Qt::endl;
        return ExitOk;
    }
    c.out() << "Read back: the unit did not take " << lines.size()
            << (lines.size() == 1 ? " field:" : " fields:") << Qt::endl;
    for (const QString& l : lines)
        c.out() << l << '\n';
    return ExitDifferences;
}

// The commands a write would send, found by writing to a simulated unit: the backup read, the
// write and store, and the read-back.
int cmdDryRun(const Profile& profile, bool backup, bool confirm, Streams& s, WireObserver* trace) {
    QTextStream& out = s.out;
    sim::VirtualClock clock;
    sim::HeadendModel model;
    sim::SimulatedPort port(model, clock);
    sim::VirtualPump pump(clock, port);
    StreamMessages messages(s.voice);
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
    FlashProgress progress(image, session.clock(), c.voice(), c.streams.terminal);
    progress.onProgress = c.streams.progress;
    FirmwareTransfer transfer(session.link(), progress);
    const double start = session.clock().now();
    const FirmwareTransfer::Outcome outcome = transfer.RunUpdate();
    progress.finishLine();
    const double seconds = session.clock().now() - start;
    const FirmwareTransfer::Figures& f = transfer.figures();
    if (c.interrupt.received() && outcome != FirmwareTransfer::Outcome::Success) {
        const qint64 whole = qint64(f.sectors) * SectorBytes;
        auto said = c.voice().say();
        said << "interrupted: ";
        if (f.bytesSent == 0) {
            said << "none of the image was sent; the module keeps its firmware";
        } else if (f.bytesSent < whole) {
            said << QStringLiteral(
                        "%1 of %2 bytes of the image had been sent; the module has not got the "
                        "whole image and takes a fresh update (run flash again)")
                        .arg(f.bytesSent)
                        .arg(whole);
        } else {
            said << "the whole image was sent, but the module's confirmation was not awaited";
        }
        return c.interrupt.exitCode();
    }
    switch (outcome) {
        case FirmwareTransfer::Outcome::Success: {
            const double rate = double(f.bytesSent) / seconds;
            c.outcome.summary =
                QStringLiteral(
                    "Sent %1: %2 bytes (%3 %4) in %5 %6, %7 s; average %8 B/s, %9% of the "
                    "5760 B/s line rate")
                    .arg(QDir::toNativeSeparators(image))
                    .arg(f.bytesSent)
                    .arg(f.sectors)
                    .arg(f.sectors == 1 ? QStringLiteral("sector") : QStringLiteral("sectors"))
                    .arg(f.attempt)
                    .arg(f.attempt == 1 ? QStringLiteral("attempt") : QStringLiteral("attempts"))
                    .arg(seconds, 0, 'f', 1)
                    .arg(std::llround(rate))
                    .arg(rate / Link::LineBytesPerSecond * 100.0, 0, 'f', 1);
            c.out() << c.outcome.summary << '\n';
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

int execute(const Request& request, Streams& s, UnitOutcome& outcome) {
    Voice& voice = s.voice;
    const QString& command = request.command;
    const bool isWrite = command == QLatin1String("write");
    const bool isFlash = command == QLatin1String("flash");
    const bool isMonitor = command == QLatin1String("monitor");

    // Whatever is read from files is checked before the port is touched, the settings too:
    // a settings file that is a FIFO would hold the tool for ever.
    if (const QString why = unusableSettingsFile(); !why.isEmpty()) {
        voice.say(why + QStringLiteral("; nothing was sent"));
        return ExitBadInput;
    }
    std::optional<Profile> profile;
    if (command == QLatin1String("diff") || isWrite) {
        profile = loadProfile(request.file, voice);
        if (!profile) return ExitBadInput;
    }
    if (isFlash) {
        QString why;
        if (!isReadableRegularFile(request.file, &why)) {
            voice.say() << "The firmware image " << QDir::toNativeSeparators(request.file) << ' '
                        << why;
            return ExitBadInput;
        }
        const ImageCheck check = checkFirmwareImage(request.file);
        if (!check.error.isEmpty()) {
            voice.say(check.error);
            return ExitBadInput;
        }
    }
    // Nothing the run writes may be something it reads.
    QList<QPair<QString, QString>> inputs;
    if (profile) inputs.append({QStringLiteral("the profile"), request.file});
    if (isFlash) inputs.append({QStringLiteral("the image"), request.file});
    for (const QString& file : settingsFiles())
        inputs.append({QStringLiteral("the settings file"), file});
    if (!request.pdf.isEmpty()) {
        QList<QPair<QString, QString>> read = inputs;
        if (!request.trace.isEmpty()) read.append({QStringLiteral("the trace"), request.trace});
        if (const QString input = overwrittenInput(request.pdf, read); !input.isEmpty()) {
            voice.say() << "--pdf " << request.pdf << " would write over " << input
                        << " (the same file); nothing was sent";
            return ExitBadInput;
        }
        QString why;
        if (!canWriteFile(request.pdf, &why)) {
            voice.say() << "--pdf " << request.pdf << " cannot be written: " << why
                        << "; nothing was sent";
            return ExitBadInput;
        }
    }
    QFile traceFile;
    std::unique_ptr<TraceWriter> tracer;
    if (!request.trace.isEmpty()) {
        if (const QString input = overwrittenInput(request.trace, inputs); !input.isEmpty()) {
            voice.say() << "--trace " << request.trace << " would write over " << input
                        << " (the same file); nothing was sent";
            return ExitBadInput;
        }
        QString why;
        if (!openTraceFile(traceFile, request.trace, &why)) {
            voice.say() << request.trace << ": cannot be written: " << why;
            return ExitBadInput;
        }
        tracer = std::make_unique<TraceWriter>(&traceFile);
        tracer->onFailure = [&voice, path = request.trace](const QString& reason) {
            // A progress line redrawn in place ends first.
            if (voice.stream()) *voice.stream() << Qt::endl;
            voice.say() << "the trace " << path << " could not be written: " << reason
                        << "; the run goes on without it";
        };
        tracer->note(
            QStringLiteral("meridan-cli %1, %2")
                .arg(request.commandLine, QDateTime::currentDateTime().toString(Qt::ISODate)));
    }
    // The trace ends with how the run ended; a trace that could not be written fails a run
    // that otherwise succeeded.
    auto finish = [&](int code) {
        outcome.exitCode = code;
        if (!tracer) return code;
        tracer->note(QStringLiteral("ended with exit code %1").arg(code));
        outcome.exitCode = tracer->failed() && code == ExitOk ? int(ExitLinkFailure) : code;
        return outcome.exitCode;
    };

    Request r = request;
    if (isWrite) {
        if (r.backupDir.isEmpty()) r.backupDir = defaultBackupFolder();
        // A dry run leaves no folder behind that the check made.
        QStringList made;
        for (QDir d(QDir::cleanPath(QDir(r.backupDir).absolutePath()));
             r.dryRun && !d.exists() && !d.isRoot(); d.setPath(QFileInfo(d.path()).path()))
            made << d.path();
        QString why;
        const bool kept = !r.backup || prepareBackupFolder(r.backupDir, &why);
        for (const QString& folder : std::as_const(made))
            QDir().rmdir(folder);
        if (!kept) {
            voice.say() << "no backup can be kept: " << why
                        << "; nothing was sent (--backup-dir DIR names another folder)";
            return finish(ExitBadInput);
        }
    }

    Session session(voice);
    // Watched from before the port opens: a device server may take seconds to connect.
    InterruptWatch interrupt(s.eventFd);
    UnitStateTracker tracker(interrupt, tracer.get());
    session.link().setWireObserver(&tracker);
    if (tracer) interrupt.setTraceDescriptor(traceFile.handle());
    if (command == QLatin1String("ports")) return finish(cmdPorts(session, s.out));
    if (!session.choosePort(r)) return finish(ExitBadInput);

    interrupt.onInterrupt = [&](int sig) {
        // A unit of a fleet is told by the fleet, which says it once for every unit.
        if (s.eventFd < 0) {
            s.err << "\nmeridan-cli: " << signalName(sig)
                  << (isFlash ? QStringLiteral(": stopping the transfer")
                              : QStringLiteral(": finishing the exchange in progress, then ending "
                                               "the communication"))
                  << " (" << signalName(sig) << " again stops at once)" << Qt::endl;
        }
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
    if (isMonitor && r.monitor->serve) {
        phones = startServing(*r.monitor, session.clock(), s.err, ::isatty(STDERR_FILENO) == 1);
        if (!phones) return finish(ExitBadInput);
    }
    if (!session.open()) {
        if (interrupt.received()) {
            voice.say(
                QStringLiteral("interrupted while the port was being opened; nothing was sent"));
            return finish(interrupt.exitCode());
        }
        return finish(session.reportOpenFailure());
    }
    if (isWrite && r.dryRun) {
        // A pre-flight: the plan, the backup folder and the port are checked as for the
        // write itself; the commands come from a simulated unit.
        const QString device = session.port().deviceName();
        session.port().close();
        const int code = cmdDryRun(*profile, r.backup, r.confirm, s, tracer.get());
        if (code == ExitOk) {
            s.out << "\nThe port " << device << " opens"
                  << (r.backup ? ", the backup folder can be written" : "")
                  << "; no byte was sent to the unit." << Qt::endl;
        }
        return finish(code);
    }
    Context c{session, interrupt, tracker, s, outcome, r.confirm};
    if (command == QLatin1String("read")) return finish(cmdRead(c, r));
    if (command == QLatin1String("diff")) return finish(cmdDiff(c, *profile));
    if (isMonitor) {
        r.monitor->confirm = r.confirm;
        return finish(runMonitor(session.link(), *r.monitor, s.out, s.err,
                                 ::isatty(STDOUT_FILENO) == 1, phones.get()));
    }
    if (isWrite) return finish(cmdWrite(c, r, *profile));
    return finish(cmdFlash(c, r.file));
}

}  // namespace meridan::cli
