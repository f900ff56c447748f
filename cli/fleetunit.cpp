#include "fleetunit.h"

#include <unistd.h>
#include <QDir>
#include <QFile>
#include <QIODevice>
#include <QThread>
#include <memory>

#include "clitool.h"
#include "plan/inputfiles.h"
#include "plan/profile.h"
#include "report/report.h"

namespace meridan::cli {

namespace {

// Writes a whole event; a fleet that has gone takes nothing (the write fails, SIGPIPE is
// ignored).
void send(int fd, const QByteArray& bytes) {
    const char* data = bytes.constData();
    for (qsizetype left = bytes.size(); left > 0;) {
        const ssize_t n = ::write(fd, data, size_t(left));
        if (n <= 0) return;
        data += n;
        left -= n;
    }
}

// Standard output of a unit: each piece written becomes an "output" event.
class OutputEvents final : public QIODevice {
  public:
    explicit OutputEvents(int fd) : fd_(fd) { open(QIODevice::WriteOnly); }

  protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char* data, qint64 size) override {
        send(fd_, eventLine("output", QString::fromUtf8(data, size)));
        return size;
    }

  private:
    int fd_;
};

// The report of the unit as read, named as its backups are ("MC_1200-10423-20260314-120307.pdf",
// "-2" and on beside another of the same second); drawn under a name of its own first, so a
// report is never seen half written nor written over another.
QString writeReportInto(const QString& folder, const UnitOutcome& o, QString* why) {
    report::Commissioning page;
    page.unit = *o.unit;
    page.port = o.port;
    page.readAt = o.readAt;
    page.program = QStringLiteral("meridan-cli %1.%2.%3")
                       .arg(MERIDAN_VERSION_MAJOR)
                       .arg(MERIDAN_VERSION_MINOR)
                       .arg(MERIDAN_VERSION_PATCH);
    const QString drawing =
        QDir(folder).filePath(QStringLiteral(".report-%1.part.pdf").arg(::getpid()));
    if (!report::writePdf(drawing, page, why)) return {};
    const QString stem = QDir(folder).filePath(plan::unitFileStem(*o.unit, o.readAt));
    for (int k = 1; k <= 1000; ++k) {
        const QString path =
            k == 1 ? stem + QStringLiteral(".pdf") : QStringLiteral("%1-%2.pdf").arg(stem).arg(k);
        if (plan::nameWithoutReplacing(drawing, path, why)) return path;
        if (!why->isEmpty()) break;
    }
    if (why->isEmpty()) *why = QStringLiteral("no free name for %1").arg(stem);
    QFile::remove(drawing);
    return {};
}

}  // namespace

void runAsUnit(const Request& request, int eventFd, const QString& pdfDir) {
    int code = ExitLinkFailure;
    UnitOutcome outcome;
    // A thread of its own gets an event loop of its own: the fleet's, copied with the
    // process, waits on the fleet's pipes and timers and must never run here.
    std::unique_ptr<QThread> unit(QThread::create([&] {
        OutputEvents device(eventFd);
        QTextStream out(&device);
        QString unused;
        QTextStream err(&unused);
        Voice voice(nullptr);
        voice.onLine = [eventFd](const QString& line) { send(eventFd, eventLine("said", line)); };
        Streams streams{out,
                        err,
                        voice,
                        false,
                        [eventFd](const QString& p) { send(eventFd, eventLine("progress", p)); },
                        eventFd};
        code = execute(request, streams, outcome);
        out.flush();
    }));
    unit->start();
    unit->wait();
    if (!pdfDir.isEmpty() && outcome.unit && (code == ExitOk || code == ExitDifferences)) {
        QString why;
        outcome.pdf = writeReportInto(pdfDir, outcome, &why);
        if (outcome.pdf.isEmpty()) {
            send(eventFd,
                 eventLine(
                     "said",
                     QStringLiteral("the report could not be written in %1: %2").arg(pdfDir, why)));
            code = ExitLinkFailure;
        }
    }
    outcome.exitCode = code;
    send(eventFd, eventLine("outcome", outcomeToJson(outcome)));
    ::_exit(code);
}

}  // namespace meridan::cli
