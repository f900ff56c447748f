#include "livestate.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace meridan::web {

namespace {

const char* runName(LiveState::Run run) {
    switch (run) {
        case LiveState::Run::Idle:
            return "idle";
        case LiveState::Run::Connecting:
            return "connecting";
        case LiveState::Run::Running:
            return "running";
        case LiveState::Run::Silent:
            return "silent";
        case LiveState::Run::Stopped:
            return "stopped";
        case LiveState::Run::PortLost:
            return "portlost";
        case LiveState::Run::NoConnection:
            return "noconnection";
        case LiveState::Run::Failed:
            break;
    }
    return "failed";
}

QJsonValue lock(const std::optional<std::uint8_t>& value) {
    return value ? QJsonValue(int(*value)) : QJsonValue(QJsonValue::Null);
}

}  // namespace

LiveState::LiveState(Clock& clock, QObject* parent)
    : QObject(parent),
      clock_(clock),
      wallStart_(QDateTime::currentDateTime()),
      linkStart_(clock.now()) {}

QString LiveState::timeOfDay(double linkTime) const {
    return wallStart_.addMSecs(qint64((linkTime - linkStart_) * 1000.0))
        .toString(QStringLiteral("HH:mm:ss"));
}

void LiveState::setRun(Run run, const QString& since) {
    run_ = run;
    since_ = since;
    Q_EMIT changed();
}

void LiveState::started(const MonitorChoice& choice) {
    choice_ = choice;
    round_ = 0;
    rate_ = 0;
    input_ = {};
    output_ = {};
    changedAt_ = {};
    inputChanges_ = {};
    Q_EMIT runStarted();
    setRun(Run::Connecting);
}

void LiveState::identified(const QString& type, std::int32_t serial) {
    type_ = type;
    serial_ = serial;
    identified_ = true;
    Q_EMIT changed();
}

void LiveState::round(const MonitorRound& r) {
    bool seen = false;
    QString now;
    for (int i = 0; i < ConverterCount; ++i) {
        const bool first = (r.input[i] && !r.inputBefore[i]) || (r.output[i] && !r.outputBefore[i]);
        const bool in = r.changed(i, LockSide::Input);
        if (in) ++inputChanges_[i];
        if (first || in || r.changed(i, LockSide::Output)) {
            if (now.isEmpty()) now = timeOfDay(r.time);
            changedAt_[i] = now;
            seen = true;
        }
    }
    input_ = r.input;
    output_ = r.output;
    round_ = r.number;
    rate_ = r.rate;
    if (run_ != Run::Running) {
        setRun(Run::Running);
    } else if (seen) {
        Q_EMIT changed();
    }
}

void LiveState::silent(double since) {
    setRun(Run::Silent, timeOfDay(since));
}

void LiveState::reconnected() {
    rate_ = 0;
    setRun(Run::Running);
}

void LiveState::finished(const MonitorOutcome& outcome) {
    Run run = Run::Stopped;
    switch (outcome.end) {
        case MonitorEnd::Done:
        case MonitorEnd::Stopped:
        case MonitorEnd::Aborted:
            break;
        case MonitorEnd::PortLost:
            run = Run::PortLost;
            break;
        case MonitorEnd::NoConnection:
            run = Run::NoConnection;
            break;
        case MonitorEnd::Failed:
            run = Run::Failed;
            break;
    }
    rate_ = 0;
    setRun(run, timeOfDay(clock_.now()));
    Q_EMIT runFinished();
}

QByteArray LiveState::json() const {
    QJsonArray converters;
    for (int i = 0; i < ConverterCount; ++i) {
        converters.append(QJsonObject{{"in", lock(input_[i])},
                                      {"out", lock(output_[i])},
                                      {"changed", changedAt_[i]},
                                      {"inChanges", qint64(inputChanges_[i])}});
    }
    QJsonObject o{{"state", QLatin1String(runName(run_))},
                  {"since", since_},
                  {"time", timeOfDay(clock_.now())},
                  {"converter", choice_.converter},
                  {"outputLock", choice_.all() || choice_.outputLock},
                  {"round", qint64(round_)},
                  {"rate", qRound(rate_ * 10.0) / 10.0},
                  {"converters", converters}};
    if (identified_) o.insert("unit", QJsonObject{{"type", type_}, {"serial", serial_}});
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

}  // namespace meridan::web
