#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <memory>

#include "headendmodel.h"
#include "link/clock.h"
#include "pacing.h"

class QSocketNotifier;

namespace meridan::sim {

// Serves a simulated headend on a pseudo-terminal. The program under test opens the slave
// side (printed by slavePath()) as its serial port. Answers leave at the time the model says,
// to the microsecond, so a paced headend runs at the real line rate. A paced headend also
// takes the program's bytes no faster than the line carries them: what it has not read yet
// stays in the terminal's buffer, as in a serial port's transmit buffer.
class PtyServer : public QObject {
    Q_OBJECT
  public:
    explicit PtyServer(HeadendModel& model, QObject* parent = nullptr);
    ~PtyServer() override;

    bool start(QString* error);
    QString slavePath() const { return slavePath_; }
    // Makes `path` a symbolic link to the slave (replacing an older link there).
    bool createLink(const QString& path, QString* error);
    void removeLink();

    // Verbose mode: every frame and violation goes to stderr as it happens.
    void setVerbose(bool verbose);

  private:
    void onReadable();
    void onWritable();
    void onTimer();
    void flushDue();
    void schedule();
    void writePending();

    HeadendModel& model_;
    SteadyClock clock_;
    int master_ = -1;
    int slave_ = -1;
    int timer_ = -1;
    QString slavePath_;
    QString linkPath_;
    std::unique_ptr<QSocketNotifier> readNotifier_;
    std::unique_ptr<QSocketNotifier> writeNotifier_;
    std::unique_ptr<QSocketNotifier> timerNotifier_;
    QByteArray pending_;
    bool readPaused_ = false;
    bool verbose_ = false;
    Happenings happenings_;
};

}  // namespace meridan::sim
