// The firmware transfer against the simulated headend's module, in virtual time.
#include <QDir>
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
        status = s;
    }
    void progress(const TransferProgress& p) override { steps << p; }
    void finished(TransferOutcome outcome, const QString& why) override {
        outcomes << outcome;
        detail = why;
    }
    bool cancelRequested() override { return cancel; }
    QString chooseImage(bool) override { return image; }

    QString image;
    bool cancel = false;
    QList<TransferPhase> phases;
    TransferStatus status;
    QList<TransferStatus> statuses;
    QList<TransferProgress> steps;
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

    Harness() { rig.port.setTransmitBufferSize(16384); }

    // An image of `size` bytes with a recognisable pattern.
    QByteArray makeImage(qint64 size, const QString& name = QStringLiteral("VELNO_S1.bin")) {
        QByteArray data(size, '\0');
        for (qint64 k = 0; k < size; ++k)
            data[k] = static_cast<char>((k * 7 + k / 65536) & 0xFF);
        view.image = dir.filePath(name);
        QFile f(view.image);
        if (f.open(QIODevice::WriteOnly)) f.write(data);
        return data;
    }
    FirmwareTransfer::Outcome run() {
        transfer.RetryCount = 0;
        return transfer.RunUpdate();
    }
};

// When the first block of the transfer was handed to the port.
double firstBlockSent(const WireLog& wire, int sector = 0) {
    int block = sector * BlocksPerSector;
    for (const auto& c : wire.chunks) {
        if (c.direction == WireDirection::ToDevice && c.bytes.size() == 16384 && block-- == 0) {
            return c.time;
        }
    }
    return -1;
}

QByteArray padded(const QByteArray& image) {
    const qint64 sectors = (image.size() + SectorBytes - 1) / SectorBytes;
    return image + QByteArray(sectors * SectorBytes - image.size(), ' ');
}

}  // namespace

class TstFirmware : public QObject {
    Q_OBJECT
  private Q_SLOTS:
    void transfersEveryByte_data();
    void transfersEveryByte();
    void showsProgress();
    void tenSecondsStartAfterTheLastBlockLeft();
    void answerWindowOpensAfterTheLineTime_data();
    void answerWindowOpensAfterTheLineTime();
    void portThatStopsTakingDataFailsTheAttempt();
    void imageChangedWhileSent_data();
    void imageChangedWhileSent();
    void imageThatCannotBeReadWhole();
    void restartsAfterStalls_data();
    void restartsAfterStalls();
    void cancelOnlyDuringTheHandshake();
    void silentModule();
    void refusals_data();
    void refusals();
    void abortSendsNothingMore();
    void moduleCheckThenUpdate();
    void helpers();
};

void TstFirmware::transfersEveryByte_data() {
    QTest::addColumn<qint64>("size");
    QTest::newRow("one sector") << qint64(65536);
    QTest::newRow("four sectors") << qint64(4 * 65536);
    QTest::newRow("not a whole number of sectors") << qint64(2 * 65536 + 1000);
    QTest::newRow("less than half a sector") << qint64(10);
    QTest::newRow("255 sectors") << qint64(255) * 65536;
}

void TstFirmware::transfersEveryByte() {
    QFETCH(qint64, size);
    Harness h;
    const QByteArray image = h.makeImage(size);
    const int sectors = int((size + 65535) / 65536);
    QCOMPARE(h.run(), Outcome::Success);
    QByteArray expected = QByteArray("UP") + QByteArray("OK") + char(sectors) + padded(image);
    QVERIFY(h.rig.wire.sent() == expected);  // not QCOMPARE: megabytes
    QCOMPARE(h.rig.model.firmwareImage().size(), padded(image).size());
    QVERIFY(h.rig.model.firmwareImage() == padded(image));
    QCOMPARE(h.rig.model.updatesCompleted(), 1);
    QVERIFY(h.rig.model.violations().isEmpty());
    QVERIFY(h.rig.messages.shown.isEmpty());
    QCOMPARE(h.view.status.totalBlocks, sectors * 4);
    QCOMPARE(h.view.steps.last().blocksSent, sectors * 4);
    QCOMPARE(h.view.outcomes, QList<Outcome>{Outcome::Success});
}

void TstFirmware::showsProgress() {
    Harness h;
    h.makeImage(4 * 65536);
    QCOMPARE(h.run(), Outcome::Success);
    QCOMPARE(h.view.phases, (QList<Phase>{Phase::Starting, Phase::Waiting, Phase::Asking,
                                          Phase::Running, Phase::Confirmed, Phase::Succeeded}));
    // Each block is announced, then counted once the port has taken it; then its sector.
    using S = TransferProgress::Step;
    QCOMPARE(h.view.steps.size(), 4 * 9);
    for (int k = 0; k < h.view.steps.size(); ++k) {
        const TransferProgress& p = h.view.steps[k];
        const int sector = k / 9, inSector = k % 9, block = std::min(inSector / 2, 3);
        QCOMPARE(p.step, inSector == 8 ? S::Written : inSector % 2 ? S::Sent : S::Sending);
        QCOMPARE(p.sector, sector);
        QCOMPARE(p.block, block);
        QCOMPARE(p.blocksSent, sector * 4 + block + (p.step == S::Sending ? 0 : 1));
        QCOMPARE(p.totalBlocks, 16);
    }
    // The pauses: 1 s before "UP", 0.5 s after the image is read, 1 s after the count, 1 s
    // before each sector, 0.5 s before the end mark, then 2 s and 3 s on the success word.
    QCOMPARE(h.rig.clock.now(), 1.0 + 0.5 + 1.0 + 4 * 1.0 + 0.5 + 2.0 + 3.0);
}

void TstFirmware::tenSecondsStartAfterTheLastBlockLeft() {
    // At the real line rate a sector takes 11.4 s to leave; the module answers after that.
    Harness h;
    h.rig.model.setPaced(true);
    const QByteArray image = h.makeImage(2 * 65536);
    QCOMPARE(h.run(), Outcome::Success);
    QVERIFY(h.rig.model.firmwareImage() == image);
    QCOMPARE(h.transfer.figures().attempt, 1);
    QVERIFY(h.rig.messages.shown.isEmpty());
    const double wire = (2.0 + 3.0 + 2 * 65536.0) / 5760.0;
    QVERIFY2(h.rig.clock.now() > wire, qPrintable(QString::number(h.rig.clock.now())));
}

void TstFirmware::answerWindowOpensAfterTheLineTime_data() {
    QTest::addColumn<QString>("device");
    QTest::addColumn<int>("stallSector");  // 3: the end mark
    for (const char* device : {"unpaced", "paced", "buffering"}) {
        for (int stall : {-1, 1, 3}) {
            QTest::addRow("%s, %s", device,
                          stall < 0    ? "through"
                          : stall == 3 ? "no end mark"
                                       : "no request for sector 1")
                << QString::fromLatin1(device) << stall;
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

void TstFirmware::imageChangedWhileSent_data() {
    QTest::addColumn<double>("when");
    QTest::addColumn<bool>("shortened");
    // Paced: sector 0 leaves from 3.5 s to 14.9 s, sector 1 from 15.9 s.
    QTest::newRow("shortened inside a sector") << 7.5 << true;
    QTest::newRow("shortened between sectors") << 15.3 << true;
    QTest::newRow("replaced inside a sector") << 7.5 << false;
    QTest::newRow("replaced between sectors") << 15.3 << false;
}

void TstFirmware::imageChangedWhileSent() {
    QFETCH(double, when);
    QFETCH(bool, shortened);
    Harness h;
    h.rig.model.setPaced(true);
    const QByteArray image = h.makeImage(3 * 65536 - 100);
    h.rig.pump.at(when, [&] {
        QFile f(h.view.image);
        QVERIFY(f.open(QIODevice::ReadWrite));
        if (shortened) {
            QVERIFY(f.resize(65536 + 10));
        } else {
            f.write(QByteArray(image.size(), 'x'));
        }
    });
    // Either the whole of one version of the file, or a failure with its message.
    const auto outcome = h.run();
    if (outcome == Outcome::Success) {
        QVERIFY(h.rig.model.firmwareImage() == padded(image));
    } else {
        QCOMPARE(h.view.outcomes, QList<Outcome>{Outcome::Refused});
        QVERIFY(h.view.detail.contains(h.view.image));
        QCOMPARE(h.rig.model.updatesCompleted(), 0);
    }
}

void TstFirmware::imageThatCannotBeReadWhole() {
    // A file that says it is 4096 bytes long and gives four.
    Harness h;
    h.view.image = QStringLiteral("/sys/devices/system/cpu/online");
    QFile f(h.view.image);
    if (!f.open(QIODevice::ReadOnly) || f.size() <= f.readAll().size())
        QSKIP("no file that reads shorter than its length");
    QCOMPARE(h.run(), Outcome::Refused);
    QCOMPARE(h.rig.wire.sent(), QByteArray("UP"));  // no count, no block
    QVERIFY2(h.view.detail.contains(h.view.image +
                                    QStringLiteral(" could not be read whole: only 4 of its 4096")),
             qPrintable(h.view.detail));
}

void TstFirmware::restartsAfterStalls_data() {
    QTest::addColumn<int>("stallSector");
    QTest::addColumn<int>("stalls");
    QTest::addColumn<bool>("succeeds");
    QTest::newRow("three stalls at sector 1, then through") << 1 << 3 << true;
    QTest::newRow("four stalls at sector 0: given up") << 0 << 4 << false;
    QTest::newRow("end mark missing three times") << 2 << 3 << true;
}

void TstFirmware::restartsAfterStalls() {
    QFETCH(int, stallSector);
    QFETCH(int, stalls);
    QFETCH(bool, succeeds);
    Harness h;
    const QByteArray image = h.makeImage(2 * 65536);
    h.rig.model.faults().stallSector = stallSector;
    h.rig.model.faults().stallAttempts = stalls;
    const auto outcome = h.run();
    QCOMPARE(outcome, succeeds ? Outcome::Success : Outcome::Failed);
    QCOMPARE(h.rig.model.updateAttempts(), std::min(stalls + 1, 4));
    QCOMPARE(h.transfer.RetryCount, std::min(stalls, 4));
    QCOMPARE(h.view.phases.count(Phase::Restarting), std::min(stalls, 3));
    QCOMPARE(h.view.outcomes, QList<Outcome>{outcome});
    if (succeeds) QVERIFY(h.rig.model.firmwareImage() == image);
}

void TstFirmware::cancelOnlyDuringTheHandshake() {
    Harness h;
    h.makeImage(65536);
    h.rig.model.faults().silent = true;
    h.rig.pump.at(8.0, [&] { h.view.cancel = true; });
    QCOMPARE(h.run(), Outcome::Cancelled);
    QCOMPARE(h.rig.clock.now(), 8.0);
    QCOMPARE(h.rig.wire.sent(), QByteArray("UPUP"));
    QCOMPARE(h.view.outcomes, QList<Outcome>{Outcome::Cancelled});
    h.rig.pump.runUntil(30);
    QCOMPARE(h.rig.wire.sent(), QByteArray("UPUP"));  // nothing more

    // Once the transfer runs, Cancel changes nothing.
    Harness k;
    const QByteArray image = k.makeImage(2 * 65536);
    k.rig.pump.at(4.0, [&] { k.view.cancel = true; });
    QCOMPARE(k.run(), Outcome::Success);
    QVERIFY(k.rig.model.firmwareImage() == image);
}

void TstFirmware::silentModule() {
    Harness h;
    h.makeImage(65536);
    h.rig.model.faults().silent = true;
    QCOMPARE(h.run(), Outcome::NoConnection);
    const double t = h.rig.clock.now();
    QVERIFY2(t > 50.0 && t < 57.0, qPrintable(QString::number(t)));
    const int tries = h.rig.wire.sent().count("UP");
    QVERIFY2(tries >= 8 && tries <= 9, qPrintable(QString::number(tries)));  // every 6 s
    QCOMPARE(h.rig.wire.sent(), QByteArray("UP").repeated(tries));
    QVERIFY(h.rig.messages.shown.isEmpty());
    QCOMPARE(h.view.outcomes, QList<Outcome>{Outcome::NoConnection});
}

void TstFirmware::refusals_data() {
    QTest::addColumn<QString>("what");
    QTest::addColumn<QString>("message");
    QTest::newRow("port closed") << "port" << QString();
    QTest::newRow("no image") << "none"
                              << "No firmware image VELNO_S*.bin found!";
    QTest::newRow("empty image") << "empty"
                                 << "is empty!";
    QTest::newRow("256 sectors") << "large"
                                 << "has 256 sectors of 64 KiB; at most 255 can be sent!";
    QTest::newRow("a folder") << "folder"
                              << "it is a folder";
    QTest::newRow("unreadable") << "unreadable"
                                << "cannot be read";
}

void TstFirmware::refusals() {
    QFETCH(QString, what);
    QFETCH(QString, message);
    Harness h;
    if (what == QLatin1String("port")) {
        h.makeImage(65536);
        h.rig.port.close();
    } else if (what == QLatin1String("none")) {
        h.view.image.clear();
    } else if (what == QLatin1String("empty")) {
        h.makeImage(0);
    } else if (what == QLatin1String("large")) {
        h.makeImage(255 * 65536 + 1);
    } else if (what == QLatin1String("folder")) {
        h.view.image = h.dir.path();
    } else {
        h.makeImage(100);
        QFile::setPermissions(h.view.image, QFileDevice::WriteOwner);
        if (QFile(h.view.image).open(QIODevice::ReadOnly))
            QSKIP("running with rights that read any file");
    }
    const auto outcome = h.run();
    QCOMPARE(outcome, what == QLatin1String("port") ? Outcome::PortClosed : Outcome::Refused);
    QVERIFY(h.rig.wire.chunks.isEmpty());  // nothing sent
    QCOMPARE(h.view.outcomes, QList<Outcome>{outcome});
    QVERIFY2(h.view.detail.contains(message), qPrintable(h.view.detail));
}

void TstFirmware::abortSendsNothingMore() {
    Harness h;
    h.makeImage(3 * 65536);
    h.rig.pump.at(5.5, [&] { h.rig.link.abort(); });
    QCOMPARE(h.run(), Outcome::Aborted);
    for (const auto& c : h.rig.wire.chunks) {
        if (c.direction == WireDirection::ToDevice) QVERIFY(c.time <= 5.5);
    }
    QCOMPARE(h.view.outcomes, QList<Outcome>{Outcome::Aborted});
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

    // The check does not look at Cancel and gives up after 50 s.
    Harness k;
    k.makeImage(65536);
    k.rig.model.faults().silent = true;
    k.view.cancel = true;
    QCOMPARE(k.transfer.CheckModuleType(), Outcome::NoConnection);
    QVERIFY(k.rig.clock.now() > 50.0);
}

void TstFirmware::helpers() {
    QTemporaryDir dir;
    QVERIFY(!FileExists(dir.path()));
    QVERIFY(!FileExists(dir.filePath(QStringLiteral("missing.bin"))));
    QVERIFY(!FileExists(QString()));
    QFile f(dir.filePath(QStringLiteral("a.bin")));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.close();
    QVERIFY(FileExists(f.fileName()));
    QVERIFY(FileReady(f.fileName()));
    QVERIFY(!FileReady(dir.filePath(QStringLiteral("missing.bin"))));

    // warte(0) returns at once, warte(0.5) after half a second.
    Harness h;
    h.transfer.warte(0);
    QCOMPARE(h.rig.clock.now(), 0.0);
    h.transfer.warte(0.5);
    QCOMPARE(h.rig.clock.now(), 0.5);
}

QTEST_GUILESS_MAIN(TstFirmware)
#include "tst_firmware.moc"
