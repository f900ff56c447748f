#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

namespace meridan::sim {

// meridan-headend-sim as a process of its own, as the end-to-end tests and the benchmark run
// it: started, the path of its terminal read from the first line it prints, stopped when this
// object goes.
class SimProcess {
  public:
    explicit SimProcess(QString program) : program_(std::move(program)) {}
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // Starts the simulator; its terminal's path, or an empty text when it did not start and
    // print it within five seconds.
    QString start(const QStringList& args);
    // The next `count` lines it prints (with --units: the other units' addresses); fewer when
    // they do not come within five seconds.
    QStringList readLines(int count);
    QProcess& process() { return process_; }

  private:
    QString program_;
    QProcess process_;
};

}  // namespace meridan::sim
