// The real program's windows on the real Qt serial port, against meridan-headend-sim on a
// pseudo-terminal, in real time.
#include <QAction>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QtTest>
#include <memory>

#include "app/mdiform1.h"
#include "overview/form_uebersicht.h"
#include "sim/simprocess.h"
#include "sim/statefile.h"
#include "support/guirig.h"
#include "update/form_update.h"

using namespace meridan;
using namespace meridan::test;

class TstGuiEndToEnd : public QObject {
    Q_OBJECT
  private Q_SLOTS:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }
    void changeOneFrequencyAndSave();
    void noByteAfterTheUpdateWindowIsClosed();
};

namespace {
// meridan-headend-sim on a pseudo-terminal, Com1 pointed at it (the other ports at nothing),
// and the real program's port, link and data around it.
struct RealProgram {
    QTemporaryDir dir;
    sim::SimProcess sim{QStringLiteral(MERIDAN_SIM)};
    QString tty;
    std::unique_ptr<QSettings> settings;
    std::unique_ptr<PortMap> map;
    std::unique_ptr<RealLink> real;
    ProgramData data;

    bool start(const QStringList& simArgs) { return use(sim.start(simArgs)); }
    // Com1 is `device`.
    bool use(const QString& device) {
        tty = device;
        if (tty.isEmpty()) return false;
        settings = std::make_unique<QSettings>(dir.filePath("Meridan Converter.conf"),
                                               QSettings::IniFormat);
        for (int n = 2; n <= 15; ++n)
            settings->setValue(QString("Ports/Com%1").arg(n), dir.filePath(QString::number(n)));
        settings->setValue("Ports/Com1", tty);
        settings->setValue("Settings/COM-Port", "1");
        map = std::make_unique<PortMap>(settings.get());
        real = std::make_unique<RealLink>(*map);
        data.BackupFolder = dir.filePath(QStringLiteral("backups"));
        return true;
    }
    std::unique_ptr<MDIForm1> mainWindow() {
        return std::make_unique<MDIForm1>(real->link, data, real->messages, *settings, *map);
    }
};
}  // namespace

// At the line rate: the Save keeps a backup of the unit first and reads it back afterwards;
// meridan-cli write of that backup gives the unit back exactly as it was.
void TstGuiEndToEnd::changeOneFrequencyAndSave() {
    RealProgram p;
    const QString state = p.dir.filePath(QStringLiteral("unit.json"));
    QVERIFY(p.start({QStringLiteral("--state"), state, QStringLiteral("--paced")}));
    {
        const auto main = p.mainWindow();
        main->Form_Load();
        main->show();
        QCOMPARE(main->checkedPort(), 1);
        main->Program->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(
            main->overview() && main->overview()->Label_Typ->text() == QStringLiteral("MC 1200") &&
                main->overview()->state() == Form_Uebersicht::State::Idle,
            10000);
        Form_Uebersicht* f = main->overview();
        QCOMPARE(f->Text_infrequenz[2]->text(), QStringLiteral("1097"));
        QCOMPARE(f->Label_Serial_Number->text(), QStringLiteral(" 10423"));

        f->Text_infrequenz[2]->setFocus();
        f->Text_infrequenz[2]->selectAll();
        QTest::keyClicks(f->Text_infrequenz[2], QStringLiteral("1250"));
        QVERIFY(p.data.DataChanged);
        QCOMPARE(f->Command_Save_Click(), SequenceResult::Complete);
        QVERIFY(!p.data.DataChanged);
        QVERIFY2(p.real->messages.shown.isEmpty(), qPrintable(p.real->messages.texts().join('\n')));
        QVERIFY2(f->Label_SaveStatus->text().startsWith(QStringLiteral("Saved and verified")),
                 qPrintable(f->Label_SaveStatus->text()));
        QVERIFY(main->close());
    }

    QString why;
    const auto stored = sim::loadStateFile(state, &why);
    QVERIFY2(stored.has_value(), qPrintable(why));
    QCOMPARE(stored->channels[2].inFreq, 1250);
    QCOMPARE(stored->channels[3].inFreq, 1141);

    const QStringList backups = QDir(p.data.BackupFolder).entryList({QStringLiteral("*.json")});
    QCOMPARE(backups.size(), 1);
    QProcess cli;
    cli.start(MERIDAN_CLI, {"--port", p.tty, "write",
                            QDir(p.data.BackupFolder).filePath(backups[0]), "--no-backup"});
    QVERIFY(cli.waitForFinished(60000));
    QVERIFY2(cli.exitCode() == 0, cli.readAllStandardError().constData());
    const auto restored = sim::loadStateFile(state, &why);
    QVERIFY2(restored.has_value(), qPrintable(why));
    const sim::HeadendState demo = sim::HeadendState::demo();
    for (int i = 0; i < ConverterCount; ++i) {
        const sim::SimChannel &c = restored->channels[i], &d = demo.channels[i];
        QCOMPARE((QList<int>{c.carrier, c.polarisation, c.inFreq, c.gain}),
                 (QList<int>{d.carrier, d.polarisation, d.inFreq, d.gain}));
    }
}

// The update window closed while a sector is on its way: what the port still holds of it is
// dropped, and not one byte more reaches the module. The test plays the module on a
// pseudo-terminal and takes bytes slower than the program writes them.
void TstGuiEndToEnd::noByteAfterTheUpdateWindowIsClosed() {
    RealProgram p;
    Pty line;
    QVERIFY(p.use(line.path()));
    writeImage(p.dir.filePath(QStringLiteral("VELNO_S0001.bin")), 4 * 65536);
    const auto main = p.mainWindow();
    main->setProgramFolder(p.dir.path());
    main->Form_Load();
    main->show();
    main->Update->trigger();
    QTRY_VERIFY(main->updateWindow());

    // The module answers "UP", asks for sector 0 once the count has come, then waits 3 s.
    QByteArray got;
    int step = 0;
    QElapsedTimer since;
    QTimer tick;
    connect(&tick, &QTimer::timeout, [&] {
        if (step < 2) got += line.received();
        if (step == 0 && got.endsWith("UP")) {
            got.clear();
            line.send("OK");
            step = 1;
        } else if (step == 1 && got == QByteArray("OK\x04", 3)) {
            line.send("OK");
            since.start();
            step = 2;
        } else if (step == 2 && since.elapsed() > 3000) {
            // The module takes what is on the line (the program writes nothing meanwhile: its
            // event loop does not run), then the user closes the window.
            for (int empty = 0; empty < 3; QThread::msleep(20))
                empty = line.received().isEmpty() ? empty + 1 : 0;
            main->updateWindow()->parentWidget()->close();
            step = 3;
        }
    });
    tick.start(20);
    main->updateWindow()->Toolbar1_ButtonClick(4);
    QCOMPARE(step, 3);
    QTRY_VERIFY(!main->updateWindow());
    QTest::qWait(1500);
    QCOMPARE(line.received().size(), 0);
}

QTEST_MAIN(TstGuiEndToEnd)
#include "tst_gui_e2e.moc"
