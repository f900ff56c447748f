#include "monitor.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <utility>

#include "clitool.h"
#include "messages/texts.h"
#include "protocol/display.h"

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
    lines << QStringLiteral("%1 rounds/s  round %2  %3")
                 .arg(last_.rate, 0, 'f', 1)
                 .arg(last_.number)
                 .arg(state_);
    if (linesDrawn_ > 0) out_ << "\x1b[" << linesDrawn_ << 'A';
    for (const QString& l : lines)
        out_ << '\r' << l << "\x1b[K\n";
    flushOut();
    linesDrawn_ = int(lines.size());
}

int runMonitor(Link& link, const MonitorOptions& options, QTextStream& out, QTextStream& err,
               bool terminal) {
    MonitorPrinter printer(options, link.clock(), out, err, terminal);
    LockMonitor monitor(link, printer);
    monitor.setConfirm(options.confirm);
    // Nobody reads the rounds any more (monitor | head -3): ended as by Ctrl+C.
    printer.onOutputGone = [&monitor] { monitor.stop(); };
    // The table drawn last stays on the screen: a message of Ctrl+C may stand below it.
    const MonitorOutcome o = monitor.run(options.choice, options.rounds);
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
