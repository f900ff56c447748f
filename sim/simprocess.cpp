#include "simprocess.h"

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

}  // namespace meridan::sim
