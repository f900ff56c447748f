#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QString>
#include <array>

#include "link/clock.h"
#include "protocol/monitor.h"

namespace meridan::web {

// What a phone shows of the lock monitor, kept up to date as the monitor tells it: the state
// of the run, the unit's type and serial number, each converter's locks with the time of
// their last change, the rounds per second. It sends nothing to the unit: it only listens.
class LiveState final : public QObject, public MonitorObserver {
    Q_OBJECT
  public:
    enum class Run { Idle, Connecting, Running, Silent, Stopped, PortLost, NoConnection, Failed };

    explicit LiveState(Clock& clock, QObject* parent = nullptr);

    // MonitorObserver
    void started(const MonitorChoice& choice) override;
    void identified(const QString& type, std::int32_t serial) override;
    void round(const MonitorRound& round) override;
    void silent(double since) override;
    void reconnected() override;
    void finished(const MonitorOutcome& outcome) override;

    Run run() const { return run_; }
    // The whole state as one line of JSON, as the page reads it.
    QByteArray json() const;
    // Times of day are the laptop's, taken from the link's clock.
    QString timeOfDay(double linkTime) const;

  Q_SIGNALS:
    // Something a phone should see at once (a lock, the run's state) has changed.
    void changed();
    void runStarted();
    void runFinished();

  private:
    void setRun(Run run, const QString& since = {});

    Clock& clock_;
    QDateTime wallStart_;
    double linkStart_ = 0;
    Run run_ = Run::Idle;
    QString since_;  // silent since, stopped at
    MonitorChoice choice_;
    QString type_;
    std::int32_t serial_ = 0;
    bool identified_ = false;
    long round_ = 0;
    double rate_ = 0;
    LockValues input_{}, output_{};
    std::array<QString, ConverterCount> changedAt_;
    std::array<long, ConverterCount> inputChanges_{};
};

}  // namespace meridan::web
