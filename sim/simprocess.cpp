#include "simprocess.h"

#include <QDeadlineTimer>

namespace meridan::sim {

SimProcess::~SimProcess() {
    if (process_.state() == QProcess::NotRunning) return;
    process_.terminate();
    if (!process_.waitForFinished(5000)) process_.kill();
}

QString SimProcess::start(const QStringList& args) {
    process_.start(program_, args);
    if (!process_.waitForStarted(5000)) return {};
    while (!process_.canReadLine()) {
        if (!process_.waitForReadyRead(5000)) return {};
    }
    return QString::fromLocal8Bit(process_.readLine()).trimmed();
}

QStringList SimProcess::readLines(int count) {
    QStringList lines;
    QDeadlineTimer deadline(5000);
    while (lines.size() < count) {
        if (process_.canReadLine()) {
            lines << QString::fromLocal8Bit(process_.readLine()).trimmed();
        } else if (deadline.hasExpired() ||
                   !process_.waitForReadyRead(int(deadline.remainingTime()))) {
            break;
        }
    }
    return lines;
}

}  // namespace meridan::sim
