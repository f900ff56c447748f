#include "monitorcommand.h"

#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <utility>

#include "clitool.h"
#include "messages/texts.h"
#include "protocol/display.h"
#include "webmonitor/qrcode.h"

namespace meridan::cli {

namespace {

// The table is drawn again at most this often (seconds).
constexpr double RedrawEvery = 0.1;

QString lockText(std::optional<std::uint8_t> value) {
    if (!value) return QStringLiteral("-");
    LockTextTable table;
    fillLockText(table);
    return lockStateText(table, *value);
}

QChar lockLetter(std::optional<std::uint8_t> value) {
    if (!value) return QLatin1Char('-');
    return *value == 1 ? QLatin1Char('L') : *value == 0 ? QLatin1Char('U') : QLatin1Char('?');
}

QJsonValue orNull(std::optional<std::uint8_t> value, bool text) {
    if (!value) return QJsonValue::Null;
    return text ? QJsonValue(lockText(value)) : QJsonValue(int(*value));
}

}  // namespace

std::variant<MonitorOptions, QString> parseMonitorOptions(const std::optional<QString>& converter,
                                                          bool outputLock,
                                                          const std::optional<QString>& rounds,
                                                          bool json) {
    MonitorOptions o;
    o.json = json;
    if (converter) {
        bool ok = false;
        const int n = converter->toInt(&ok);
        if (!ok || n < 1 || n > ConverterCount)
            return QStringLiteral("--converter takes 1 to 12, not \"%1\"").arg(*converter);
        o.choice.converter = n - 1;
    }
    if (outputLock && o.choice.all())
        return QStringLiteral("--output-lock belongs to --converter (all converters: always)");
    o.choice.outputLock = outputLock;
    if (rounds) {
        bool ok = false;
        o.rounds = rounds->toLong(&ok);
        if (!ok || o.rounds < 1)
            return QStringLiteral("--rounds takes a whole number from 1, not \"%1\"").arg(*rounds);
    }
    return o;
}

MonitorPrinter::MonitorPrinter(const MonitorOptions& options, Clock& clock, QTextStream& out,
                               QTextStream& err, bool terminal)
    : options_(options),
      clock_(clock),
      out_(out),
      err_(err),
      terminal_(terminal && !options.json),
      start_(QDateTime::currentDateTime()),
      startClock_(clock.now()) {
    start_ = start_.toOffsetFromUtc(start_.offsetFromUtc());
    if (!options_.json && !terminal_) {
        err_ << "meridan-cli: a line per round; L locked, U unlocked, ? unknown, - not read"
             << Qt::endl;
    }
}

void MonitorPrinter::flushOut() {
    out_.flush();
    if (out_.status() == QTextStream::Ok || !onOutputGone) return;
    err_ << "meridan-cli: standard output is closed; ending the monitor" << Qt::endl;
    std::exchange(onOutputGone, nullptr)();
}

QDateTime MonitorPrinter::wallTime(double linkTime) const {
    // From the link's clock, so the time zone is not looked up for every round.
    return start_.addMSecs(qint64((linkTime - startClock_) * 1000.0));
}

QStringList MonitorPrinter::jsonLines(const MonitorRound& r, const QDateTime& time) {
    QStringList lines;
    for (int i = 0; i < ConverterCount; ++i) {
        if (!r.input[i] && !r.output[i]) continue;
        const QJsonObject o{
            {"round", qint64(r.number)},
            {"time", time.toString(Qt::ISODateWithMs)},
            {"converter", i + 1},
            {"input_lock", orNull(r.input[i], true)},
            {"input_value", orNull(r.input[i], false)},
            {"output_lock", orNull(r.output[i], true)},
            {"output_value", orNull(r.output[i], false)},
            {"changed", r.changed(i, LockSide::Input) || r.changed(i, LockSide::Output)}};
        lines << QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
    }
    return lines;
}

QString MonitorPrinter::roundLine(const MonitorRound& r, const QDateTime& time) {
    QString in, out;
    for (int i = 0; i < ConverterCount; ++i) {
        in += lockLetter(r.input[i]);
        out += lockLetter(r.output[i]);
    }
    return QStringLiteral("%1  round %2  in %3  out %4")
        .arg(time.toString(QStringLiteral("HH:mm:ss.zzz")))
        .arg(r.number)
        .arg(in, out);
}

void MonitorPrinter::round(const MonitorRound& r) {
    const QDateTime time = wallTime(r.time);
    for (int i = 0; i < ConverterCount; ++i) {
        const bool first = (r.input[i] && !r.inputBefore[i]) || (r.output[i] && !r.outputBefore[i]);
        if (first || r.changed(i, LockSide::Input) || r.changed(i, LockSide::Output))
            changedAt_[i] = time.toString(QStringLiteral("HH:mm:ss"));
    }
    last_ = r;
    if (options_.json) {
        for (const QString& line : jsonLines(r, time))
            out_ << line << '\n';
        flushOut();
    } else if (terminal_) {
        if (r.number == 1) state_ = QStringLiteral("Running");
        drawTable(false);
    } else {
        out_ << roundLine(r, time) << '\n';
        flushOut();
    }
}

void MonitorPrinter::silent(double since) {
    const QString text = QStringLiteral("no answer since %1; sending connection requests")
                             .arg(wallTime(since).toString(QStringLiteral("HH:mm:ss")));
    if (terminal_) {
        state_ = text;
        drawTable(true);
    } else {
        err_ << "meridan-cli: " << text << Qt::endl;
    }
}

void MonitorPrinter::reconnected() {
    if (terminal_) {
        state_ = QStringLiteral("Running (the unit answers again)");
        drawTable(true);
    } else {
        err_ << "meridan-cli: the unit answers again" << Qt::endl;
    }
}

void MonitorPrinter::drawTable(bool force) {
    const double now = clock_.now();
    if (!force && drawnAt_ >= 0 && now - drawnAt_ < RedrawEvery) return;
    drawnAt_ = now;
    QStringList lines{QStringLiteral("Converter  Input PLL  Output PLL  Last change")};
    for (int i = 0; i < ConverterCount; ++i) {
        if (!options_.choice.reads(i, LockSide::Input)) continue;
        lines << QStringLiteral("%1  %2  %3  %4")
                     .arg(i + 1, 9)
                     .arg(lockText(last_.input[i]), -9)
                     .arg(lockText(last_.output[i]), -10)
                     .arg(changedAt_[i]);
    }
    lines << QStringLiteral("%1 rounds/s  round %2  %3%4")
                 .arg(last_.rate, 0, 'f', 1)
                 .arg(last_.number)
                 .arg(state_, phones_ < 0 ? QString()
                                          : QStringLiteral("  (%1 %2 watching)")
                                                .arg(phones_)
                                                .arg(phones_ == 1 ? "phone" : "phones"));
    if (linesDrawn_ > 0) out_ << "\x1b[" << linesDrawn_ << 'A';
    for (const QString& l : lines)
        out_ << '\r' << l << "\x1b[K\n";
    flushOut();
    linesDrawn_ = int(lines.size());
}

void MonitorPrinter::setPhones(int count) {
    const bool first = phones_ < 0;
    phones_ = count;
    if (terminal_) {
        if (linesDrawn_ > 0) drawTable(true);
    } else if (!first) {
        err_ << "meridan-cli: " << count << (count == 1 ? " phone" : " phones") << " watching"
             << Qt::endl;
    }
}

std::unique_ptr<PhoneServe> startServing(const MonitorOptions& options, Clock& clock,
                                         QTextStream& err, bool terminal) {
    auto phones = std::make_unique<PhoneServe>(clock, web::sessionToken());
    QString why;
    if (!phones->server.start(options.serveAddress, options.servePort, &why)) {
        err << "meridan-cli: --serve: cannot listen on " << options.serveAddress.toString() << ':'
            << options.servePort << ": " << why << "; nothing was sent" << Qt::endl;
        return nullptr;
    }
    const QList<QHostAddress> hosts = web::reachableAddresses(phones->server.address());
    err << "meridan-cli: the lock states for a phone (on the same network), while the monitor "
           "runs:"
        << Qt::endl;
    for (const QHostAddress& h : hosts)
        err << "  " << web::pageUrl(h, phones->server.port(), phones->server.token()) << Qt::endl;
    // A phone cannot reach this machine's loopback address: no code for that.
    if (terminal && !hosts.isEmpty() && !hosts.first().isLoopback()) {
        const QString url =
            web::pageUrl(hosts.first(), phones->server.port(), phones->server.token());
        if (const auto code = web::encodeQr(url.toLatin1())) err << web::qrTerminalText(*code);
    }
    err.flush();
    return phones;
}

int runMonitor(Link& link, const MonitorOptions& options, QTextStream& out, QTextStream& err,
               bool terminal, PhoneServe* phones) {
    MonitorPrinter printer(options, link.clock(), out, err, terminal);
    LockMonitor monitor(link, printer);
    if (phones) {
        monitor.setWatcher(&phones->state);
        monitor.setIdentify(true);
        printer.setPhones(0);
        QObject::connect(&phones->server, &web::LiveServer::viewersChanged, &phones->server,
                         [&printer](int count) { printer.setPhones(count); });
    }
    monitor.setConfirm(options.confirm);
    // Nobody reads the rounds any more (monitor | head -3): ended as by Ctrl+C.
    printer.onOutputGone = [&monitor] { monitor.stop(); };
    // The table drawn last stays on the screen: a message of Ctrl+C may stand below it.
    const MonitorOutcome o = monitor.run(options.choice, options.rounds);
    if (phones) {
        // The phones are told how the monitor ended before the server goes.
        QObject::disconnect(&phones->server, &web::LiveServer::viewersChanged, nullptr, nullptr);
        QEventLoop wait;
        QObject::connect(&phones->server, &web::LiveServer::closed, &wait, &QEventLoop::quit);
        QTimer::singleShot(2000, &wait, &QEventLoop::quit);
        phones->server.finish(1000);
        wait.exec();
    }
    switch (o.end) {
        case MonitorEnd::Done:
        case MonitorEnd::Stopped:
            err << QStringLiteral("meridan-cli: %1 rounds, %2 rounds/s; ")
                       .arg(o.rounds)
                       .arg(printer.lastRate(), 0, 'f', 1);
            if (options.confirm) {
                err << QStringLiteral(
                           "every value read twice: %1 repeated reads, %2 values "
                           "whose reads did not agree left out; ")
                           .arg(monitor.repeatedReads())
                           .arg(monitor.unsettledValues());
            }
            err << (o.ended       ? QStringLiteral("communication ended")
                    : o.connected ? QStringLiteral("the end of communication failed")
                                  : QStringLiteral("no connection was open"))
                << Qt::endl;
            return o.ended || !o.connected ? ExitOk : ExitLinkFailure;
        case MonitorEnd::NoConnection:
        case MonitorEnd::Failed:
        case MonitorEnd::PortLost:
        case MonitorEnd::Aborted:
            break;
    }
    return ExitLinkFailure;
}

}  // namespace meridan::cli
