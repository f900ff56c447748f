#pragma once

#include <QDateTime>
#include <QHostAddress>
#include <QString>
#include <QTextStream>
#include <functional>
#include <memory>
#include <optional>
#include <variant>

#include "link/link.h"
#include "protocol/monitor.h"
#include "webmonitor/liveserver.h"

namespace meridan::cli {

struct MonitorOptions {
    MonitorChoice choice;
    long rounds = 0;  // 0: until Ctrl+C
    bool json = false;
    // --serve: the lock states for phones, on this address and port.
    bool serve = false;
    QHostAddress serveAddress;
    quint16 servePort = 0;
    bool confirm = false;  // every lock value read twice
};

// The options of `monitor` as given; why they are refused.
std::variant<MonitorOptions, QString> parseMonitorOptions(const std::optional<QString>& converter,
                                                          bool outputLock,
                                                          const std::optional<QString>& rounds,
                                                          bool json);

// What the lock monitor sees, on a terminal: a table redrawn in place (`terminal`), else a
// line per round, or with --json a line of JSON per converter and round.
class MonitorPrinter final : public MonitorObserver {
  public:
    MonitorPrinter(const MonitorOptions& options, Clock& clock, QTextStream& out, QTextStream& err,
                   bool terminal);

    void round(const MonitorRound& round) override;
    void silent(double since) override;
    void reconnected() override;
    // Rounds per second at the last round.
    double lastRate() const { return last_.rate; }
    // How many phones watch (--serve); -1: not served.
    void setPhones(int count);
    // Called once when standard output is gone (the reader of a pipe has ended).
    std::function<void()> onOutputGone;

    // A round as --json prints it, one line per converter read.
    static QStringList jsonLines(const MonitorRound& round, const QDateTime& time);
    // A round as one line: "12:03:07.125  round 5  in LLLLULLLLLUU  out LLLLLLLLLLUU".
    static QString roundLine(const MonitorRound& round, const QDateTime& time);

  private:
    void drawTable(bool force);
    void flushOut();
    QDateTime wallTime(double linkTime) const;

    MonitorOptions options_;
    Clock& clock_;
    QTextStream& out_;
    QTextStream& err_;
    bool terminal_;
    QDateTime start_;  // the wall clock at startClock_ on the link's clock
    double startClock_;
    MonitorRound last_;
    std::array<QString, ConverterCount> changedAt_;
    QString state_;
    double drawnAt_ = -1;
    int linesDrawn_ = 0;
    int phones_ = -1;
};

// --serve: the lock states served to phones while the monitor runs.
struct PhoneServe {
    PhoneServe(Clock& clock, QByteArray token) : state(clock), server(state, std::move(token)) {}
    web::LiveState state;
    web::LiveServer server;
};

// Starts serving before the unit's port is opened, and says where (the address, and a QR code
// of it on a terminal); nothing when the address cannot be had (said on `err`).
std::unique_ptr<PhoneServe> startServing(const MonitorOptions& options, Clock& clock,
                                         QTextStream& err, bool terminal);

// `meridan-cli monitor` on an open link; its exit code.
int runMonitor(Link& link, const MonitorOptions& options, QTextStream& out, QTextStream& err,
               bool terminal, PhoneServe* phones = nullptr);

}  // namespace meridan::cli
