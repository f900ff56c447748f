// The firmware transfer against the simulated headend's module, in virtual time.
#include <sys/stat.h>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include "protocol/firmware.h"
#include "support/rig.h"

using namespace meridan;
using namespace meridan::test;

namespace {

// What the transfer tells whoever shows it, recorded.
class RecordingObserver final : public TransferObserver {
  public:
    void phaseChanged(TransferPhase phase, const TransferStatus& s) override {
        phases << phase;
        statuses << s;
    }
    void progress(const TransferProgress& p) override {
        steps << p;
        if (clock) stepTimes << clock->now();
    }
    void finished(TransferOutcome outcome, const QString& why) override {
        outcomes << outcome;
        detail = why;
    }
    bool cancelRequested() override { return cancel; }
    QString chooseImage(bool) override { return image; }

    QString image;
    bool cancel = false;
    QList<TransferPhase> phases;
    QList<TransferStatus> statuses;
    QList<TransferProgress> steps;
    QList<double> stepTimes;
    Clock* clock = nullptr;
    QList<TransferOutcome> outcomes;
    QString detail;
};

using Phase = TransferPhase;
using Outcome = FirmwareTransfer::Outcome;

struct Harness {
    SimRig rig;
    RecordingObserver view;
    FirmwareTransfer transfer{rig.link, view};
    QTemporaryDir dir;

    // An image of `size` bytes with a recognisable pattern.
    QByteArray makeImage(qint64 size) {
        QByteArray data(size, '\0');
        for (qint64 k = 0; k < size; ++k)
            data[k] = static_cast<char>((k * 7 + k / 65536) & 0xFF);
        view.image = dir.filePath(QStringLiteral("VELNO_S1.bin"));
        QFile f(view.image);
        if (f.open(QIODevice::WriteOnly)) f.write(data);
        return data;
    }
    Outcome run() {
        transfer.RetryCount = 0;
        return transfer.RunUpdate();
    }
};

// When the first block of a sector was handed to the port.
double firstBlockSent(const WireLog& wire, int sector = 0) {
    int block = sector * BlocksPerSector;
    for (const auto& c : wire.chunks)
        if (c.direction == WireDirection::ToDevice && c.bytes.size() == 16384 && block-- == 0)
            return c.time;
    return -1;
}

QByteArray padded(const QByteArray& image) {
    return image + QByteArray(sectorCount(image.size()) * SectorBytes - image.size(), ' ');
}

}  // namespace

class TstFirmware : public QObject {
    Q_OBJECT
  private Q_SLOTS:
    void transfersEveryByte_data();
    void transfersEveryByte();
    void answerWindowOpensAfterTheLineTime_data();
    void answerWindowOpensAfterTheLineTime();
    void progressFollowsTheLine_data();
    void progressFollowsTheLine();
    void portThatStopsTakingDataFailsTheAttempt();
    void imageThatCannotBeReadWhole();
    void restartsAfterStalls_data();
    void restartsAfterStalls();
    void silentModule_data();
    void silentModule();
    void refusals_data();
    void refusals();
    void moduleCheckThenUpdate();
};

void TstFirmware::transfersEveryByte_data() {
    QTest::addColumn<qint64>("size");
    QTest::newRow("not a whole number of sectors") << qint64(2 * 65536 + 1000);
    QTest::newRow("less than half a sector") << qint64(10);
    QTest::newRow("255 sectors") << qint64(255) * 65536;
}

void TstFirmware::transfersEveryByte() {
    QFETCH(qint64, size);
    Harness h;
    const QByteArray image = h.makeImage(size);
    const int sectors = int(sectorCount(size)), blocks = 4 * sectors;
    h.rig.pump.at(4.0, [&] { h.view.cancel = true; });  // once the module answered: ignored
    QCOMPARE(h.run(), Outcome::Success);
    // Not QCOMPARE: megabytes.
    QVERIFY(h.rig.wire.sent() == "UPOK" + QByteArray(1, char(sectors)) + padded(image));
    QVERIFY(h.rig.model.firmwareImage() == padded(image));
    QVERIFY(h.rig.model.violations().isEmpty());
    QVERIFY(h.rig.messages.shown.isEmpty());
    QCOMPARE(h.view.phases, (QList<Phase>{Phase::Starting, Phase::Waiting, Phase::Asking,
                                          Phase::Running, Phase::Confirmed, Phase::Succeeded}));
    QCOMPARE(h.view.statuses.last().totalBlocks, blocks);
    // Each block is announced, then counted once the port has taken it; then its sector.
    using S = TransferProgress::Step;
    QCOMPARE(h.view.steps.size(), 9 * sectors);
    for (int k = 0; k < h.view.steps.size(); ++k) {
        const TransferProgress& p = h.view.steps[k];
        const int sector = k / 9, inSector = k % 9, block = std::min(inSector / 2, 3);
        QCOMPARE(p.step, inSector == 8 ? S::Written : inSector % 2 ? S::Sent : S::Sending);
        QCOMPARE(QList<int>({p.sector, p.block, p.totalBlocks}),
                 QList<int>({sector, block, blocks}));
        QCOMPARE(p.blocksSent, sector * 4 + block + (p.step == S::Sending ? 0 : 1));
    }
    // The pauses: 1 s before "UP", 0.5 s after the image is read, 1 s after the count, 1 s
    // before each sector, 0.5 s before the end mark, then 2 s and 3 s on the success word.
    QCOMPARE(h.rig.clock.now(), 1.0 + 0.5 + 1.0 + sectors * 1.0 + 0.5 + 2.0 + 3.0);
}

void TstFirmware::answerWindowOpensAfterTheLineTime_data() {
    QTest::addColumn<QString>("device");
    QTest::addColumn<int>("stallSector");  // 3: the end mark
    for (const char* device : {"unpaced", "paced", "buffering"}) {
        for (int stall : {-1, 1, 3}) {
            const QByteArray name = QByteArray(device) + ", " +
                                    (stall < 0    ? "through"
                                     : stall == 3 ? "no end mark"
                                                  : "no request for sector 1");
            QTest::newRow(name.constData()) << QString::fromLatin1(device) << stall;
        }
    }
}

void TstFirmware::answerWindowOpensAfterTheLineTime() {
    // A sector needs 65536 / 5760 = 11.4 s on the line. A port with a large buffer takes it at
    // once; the module's 10 s answer window opens only once the sector can have arrived.
    QFETCH(QString, device);
    QFETCH(int, stallSector);
    Harness h;
    h.rig.model.setPaced(device == QLatin1String("paced"));
    h.rig.model.setBuffering(device == QLatin1String("buffering"));
    h.rig.model.faults().stallSector = stallSector;
    h.rig.model.faults().stallAttempts = 1;
    const QByteArray image = h.makeImage(3 * 65536);
    QCOMPARE(h.run(), Outcome::Success);
    QVERIFY(h.rig.model.firmwareImage() == image);
    QVERIFY(h.rig.messages.shown.isEmpty());
    QCOMPARE(h.transfer.figures().attempt, stallSector < 0 ? 1 : 2);
    if (stallSector < 0) return;
    // The stall is seen 10 s after the window opened, then 2 s of "Error", 1 s before "UP".
    // The end mark's window opens half a second after the last block has left, at the earliest.
    const double restart =
        h.rig.wire.timeSent("UP", 1) - firstBlockSent(h.rig.wire, stallSector - 1);
    const double earliest = 65536.0 / 5760.0 + 10.0 + 3.0;
    QVERIFY2(restart > earliest && restart < earliest + (stallSector == 3 ? 0.51 : 0.01),
             qPrintable(QString::number(restart)));
}

void TstFirmware::progressFollowsTheLine_data() {
    QTest::addColumn<bool>("buffering");
    QTest::newRow("paced") << false;
    QTest::newRow("buffering") << true;
}

void TstFirmware::progressFollowsTheLine() {
    // A block counts as sent when the line has carried it (16384 / 5760 = 2.84 s), however
    // early the port took it; so do the bytes said after a stop in the third block.
    QFETCH(bool, buffering);
    Harness h;
    h.view.clock = &h.rig.clock;
    h.rig.model.setPaced(true);
    h.rig.model.setBuffering(buffering);
    h.makeImage(65536);
    constexpr double Block = 16384 / 5760.0;
    double start = 0;
    h.rig.pump.at(3.6, [&] { start = firstBlockSent(h.rig.wire); });
    h.rig.pump.at(3.6 + 2.5 * Block, [&] { h.rig.link.abort(); });
    QCOMPARE(h.run(), Outcome::Aborted);
    QList<double> sent;
    for (int k = 0; k < h.view.steps.size(); ++k)
        if (h.view.steps[k].step == TransferProgress::Step::Sent)
            sent << h.view.stepTimes[k] - start;
    QCOMPARE(sent.size(), 2);
    for (int k = 0; k < 2; ++k)
        QVERIFY2(qAbs(sent[k] - (k + 1) * Block) < 0.01, qPrintable(QString::number(sent[k])));
    const double stoppedAt = 3.6 + 2.5 * Block - start;
    QVERIFY2(qAbs(h.transfer.figures().bytesSent - stoppedAt * 5760) < 20,
             qPrintable(QString::number(h.transfer.figures().bytesSent)));
}

void TstFirmware::portThatStopsTakingDataFailsTheAttempt() {
    Harness h;
    h.makeImage(65536);
    h.rig.pump.at(3.0, [&] { h.rig.port.setHeld(true); });  // before the first block
    QCOMPARE(h.run(), Outcome::NoConnection);
    // 30 s for the block to leave, 2 s of "Error", 1 s before the next "UP".
    const double restart = h.rig.wire.timeSent("UP", 1) - firstBlockSent(h.rig.wire);
    QVERIFY2(qAbs(restart - 33.0) < 0.01, qPrintable(QString::number(restart)));
    QCOMPARE(h.transfer.RetryCount, 1);
}

void TstFirmware::imageThatCannotBeReadWhole() {
    // A file that says it is 4096 bytes long and gives four.
    Harness h;
    h.view.image = QStringLiteral("/sys/devices/system/cpu/online");
    QFile f(h.view.image);
    if (!f.open(QIODevice::ReadOnly) || f.size() <= f.readAll().size())
        QSKIP("no file that reads shorter than its length");
    QCOMPARE(h.run(), Outcome::Refused);
    QVERIFY(h.rig.wire.sent().isEmpty());  // read before the first byte: nothing at all
    QVERIFY2(h.view.detail.contains(h.view.image + " could not be read whole: only 4 of its 4096"),
             qPrintable(h.view.detail));
}

void TstFirmware::restartsAfterStalls_data() {
    QTest::addColumn<int>("stallSector");  // 2: the end mark
    QTest::addColumn<int>("stalls");
    QTest::addColumn<QByteArray>("endMark");
    QTest::addColumn<bool>("succeeds");
    QTest::newRow("three stalls at sector 1, then through") << 1 << 3 << QByteArray("EN") << true;
    QTest::newRow("four stalls at sector 0: given up") << 0 << 4 << QByteArray("EN") << false;
    QTest::newRow("end mark missing three times") << 2 << 3 << QByteArray("EN") << true;
    // The module's answer after the last sector begins with the end mark.
    QTest::newRow("end mark with more after it") << -1 << 0 << QByteArray("EN\r\n") << true;
    QTest::newRow("bytes before the end mark") << -1 << 4 << QByteArray("\nEN") << false;
}

void TstFirmware::restartsAfterStalls() {
    QFETCH(int, stallSector);
    QFETCH(int, stalls);
    QFETCH(QByteArray, endMark);
    QFETCH(bool, succeeds);
    Harness h;
    const QByteArray image = h.makeImage(2 * 65536);
    h.rig.model.faults().stallSector = stallSector;
    h.rig.model.faults().stallAttempts = stalls;
    h.rig.model.faults().endMark = endMark;
    const auto outcome = h.run();
    QCOMPARE(outcome, succeeds ? Outcome::Success : Outcome::Failed);
    QCOMPARE(h.rig.model.updateAttempts(), std::min(stalls + 1, 4));
    QCOMPARE(h.transfer.RetryCount, std::min(stalls, 4));
    QCOMPARE(h.view.phases.count(Phase::Restarting), std::min(stalls, 3));
    QCOMPARE(h.view.outcomes, QList<Outcome>{outcome});
    if (succeeds) QVERIFY(h.rig.model.firmwareImage() == image);
}

void TstFirmware::silentModule_data() {
    QTest::addColumn<bool>("moduleCheck");
    QTest::addColumn<double>("cancelAt");  // -1: never
    QTest::newRow("update") << false << -1.0;
    QTest::newRow("update, Cancel after 8 s") << false << 8.0;
    QTest::newRow("module check: Cancel not looked at") << true << 0.0;
}

void TstFirmware::silentModule() {
    QFETCH(bool, moduleCheck);
    QFETCH(double, cancelAt);
    Harness h;
    h.makeImage(65536);
    h.rig.model.faults().silent = true;
    if (cancelAt >= 0) h.rig.pump.at(cancelAt, [&] { h.view.cancel = true; });
    const Outcome outcome = moduleCheck ? h.transfer.CheckModuleType() : h.run();
    const bool cancelled = cancelAt > 0;
    QCOMPARE(outcome, cancelled ? Outcome::Cancelled : Outcome::NoConnection);
    const double t = h.rig.clock.now();
    h.rig.pump.runUntil(t + 30);                      // nothing more is sent
    const int tries = h.rig.wire.sent().count("UP");  // every 6 s, for 50 s
    QCOMPARE(h.rig.wire.sent(), QByteArray("UP").repeated(tries));
    QVERIFY2(cancelled ? t == 8.0 && tries == 2 : t > 50 && t < 57 && tries >= 8 && tries <= 9,
             qPrintable(QStringLiteral("%1 s, %2 tries").arg(t).arg(tries)));
    QVERIFY(h.rig.messages.shown.isEmpty());
    QCOMPARE(h.view.outcomes, QList<Outcome>{outcome});
}

void TstFirmware::refusals_data() {
    // Of the image; -2: a folder, -3: unreadable, -4: a FIFO without a writer.
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QString>("message");
    QTest::newRow("port closed") << qint64(65536) << QString();
    QTest::newRow("empty image") << qint64(0) << "is empty!";
    QTest::newRow("256 sectors") << 255 * 65536 + qint64(1) << "has 256 sectors of 64 KiB";
    QTest::newRow("a folder") << qint64(-2) << "it is a folder";
    QTest::newRow("unreadable") << qint64(-3) << "cannot be read";
    QTest::newRow("a FIFO") << qint64(-4) << "it is not a regular file";
}

void TstFirmware::refusals() {
    QFETCH(qint64, size);
    QFETCH(QString, message);
    Harness h;
    h.makeImage(size < 0 ? 100 : size);
    if (size == -2) h.view.image = h.dir.path();
    if (size == -3) {
        QFile::setPermissions(h.view.image, QFileDevice::WriteOwner);
        if (QFile(h.view.image).open(QIODevice::ReadOnly))
            QSKIP("running with rights that read any file");
    }
    if (size == -4) {
        QFile::remove(h.view.image);
        QVERIFY(::mkfifo(QFile::encodeName(h.view.image).constData(), 0600) == 0);
        QVERIFY(!FileReady(h.view.image));
    }
    if (message.isEmpty()) h.rig.port.close();
    const auto outcome = h.run();
    QCOMPARE(outcome, message.isEmpty() ? Outcome::PortClosed : Outcome::Refused);
    QVERIFY(h.rig.wire.chunks.isEmpty());  // nothing sent
    QCOMPARE(h.view.outcomes, QList<Outcome>{outcome});
    QVERIFY2(h.view.detail.contains(message), qPrintable(h.view.detail));
}

void TstFirmware::moduleCheckThenUpdate() {
    Harness h;
    const QByteArray image = h.makeImage(65536);
    QCOMPARE(h.transfer.CheckModuleType(), Outcome::Success);
    // The check's own handshake, then the transfer's.
    QVERIFY(h.rig.wire.sent().startsWith("UPUPOK"));
    QCOMPARE(h.rig.model.updateAttempts(), 2);
    QVERIFY(h.rig.model.firmwareImage() == image);
    QCOMPARE(h.view.outcomes, QList<Outcome>{Outcome::Success});  // one ending for both
    QVERIFY(h.view.statuses.first().moduleCheck && !h.view.statuses.last().moduleCheck);
}

QTEST_GUILESS_MAIN(TstFirmware)
#include "tst_firmware.moc"
