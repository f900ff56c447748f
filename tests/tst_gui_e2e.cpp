// The real program's windows on the real Qt serial port, against meridan-headend-sim on a
// pseudo-terminal, in real time.
#include <QAction>
#include <QLabel>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include "app/mdiform1.h"
#include "link/qtserialport.h"
#include "overview/form_uebersicht.h"
#include "sim/statefile.h"
#include "support/rig.h"
#include "update/form_update.h"

using namespace meridan;
using namespace meridan::test;

class TstGuiEndToEnd : public QObject {
    Q_OBJECT
  private Q_SLOTS:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }
    void changeOneFrequencyAndSave();
    void uploadTwoSectorImage();
};

void TstGuiEndToEnd::changeOneFrequencyAndSave() {
    QTemporaryDir dir;
    const QString state = dir.filePath(QStringLiteral("unit.json"));
    QProcess sim;
    sim.start(QStringLiteral(MERIDAN_SIM), {QStringLiteral("--state"), state});
    QVERIFY(sim.waitForStarted(5000));
    while (!sim.canReadLine())
        QVERIFY(sim.waitForReadyRead(5000));
    const QString tty = QString::fromLocal8Bit(sim.readLine()).trimmed();

    QSettings settings(dir.filePath(QStringLiteral("Meridan Converter.conf")),
                       QSettings::IniFormat);
    for (int n = 2; n <= 15; ++n) {
        settings.setValue(QStringLiteral("Ports/Com%1").arg(n),
                          dir.filePath(QStringLiteral("none%1").arg(n)));
    }
    settings.setValue(QStringLiteral("Ports/Com1"), tty);
    settings.setValue(QStringLiteral("Settings/COM-Port"), QStringLiteral("1"));
    const PortMap map(&settings);
    QtSerialPort port(map);
    SteadyClock clock;
    EventLoopPump pump;
    RecordingMessages messages;
    Link link(port, clock, pump, messages);
    ProgramData data;
    {
        MDIForm1 main(link, data, messages, settings, map);
        main.Form_Load();
        main.show();
        QCOMPARE(main.checkedPort(), 1);
        QVERIFY(main.com[1]->isVisible());
        QVERIFY(!main.com[2]->isVisible());

        main.Program->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(
            main.overview() && main.overview()->Label_Typ->text() == QStringLiteral("MC 1200") &&
                main.overview()->state() == Form_Uebersicht::State::Idle,
            10000);
        Form_Uebersicht* f = main.overview();
        QCOMPARE(f->Text_infrequenz[2]->text(), QStringLiteral("1097"));
        QCOMPARE(f->Label_Serial_Number->text(), QStringLiteral(" 10423"));

        f->Text_infrequenz[2]->setFocus();
        f->Text_infrequenz[2]->selectAll();
        QTest::keyClicks(f->Text_infrequenz[2], QStringLiteral("1250"));
        QVERIFY(data.DataChanged);
        QCOMPARE(f->Command_Save_Click(), SequenceResult::Complete);
        QVERIFY(!data.DataChanged);
        QVERIFY2(messages.shown.isEmpty(), qPrintable(messages.texts().join('\n')));
        QVERIFY(main.close());
    }
    QCOMPARE(settings.value(QStringLiteral("Settings/COM-Port")).toString(), QStringLiteral("1"));

    QString why;
    const auto stored = sim::loadStateFile(state, &why);
    QVERIFY2(stored.has_value(), qPrintable(why));
    QCOMPARE(stored->channels[2].inFreq, 1250);
    QCOMPARE(stored->channels[3].inFreq, 1141);
    sim.terminate();
    sim.waitForFinished(3000);
}

void TstGuiEndToEnd::uploadTwoSectorImage() {
    QTemporaryDir dir;
    const QString received = dir.filePath(QStringLiteral("received.bin"));
    QProcess sim;
    sim.start(QStringLiteral(MERIDAN_SIM), {QStringLiteral("--firmware-out"), received});
    QVERIFY(sim.waitForStarted(5000));
    while (!sim.canReadLine())
        QVERIFY(sim.waitForReadyRead(5000));
    const QString tty = QString::fromLocal8Bit(sim.readLine()).trimmed();

    QDir().mkpath(dir.filePath(QStringLiteral("program")));
    const QString imagePath = dir.filePath(QStringLiteral("program/VELNO_S7.bin"));
    QByteArray image(2 * 65536, '\0');
    for (int k = 0; k < image.size(); ++k)
        image[k] = static_cast<char>((k * 31 + 7) & 0xFF);
    {
        QFile f(imagePath);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(image);
    }

    QSettings settings(dir.filePath(QStringLiteral("Meridan Converter.conf")),
                       QSettings::IniFormat);
    for (int n = 2; n <= 15; ++n) {
        settings.setValue(QStringLiteral("Ports/Com%1").arg(n),
                          dir.filePath(QStringLiteral("none%1").arg(n)));
    }
    settings.setValue(QStringLiteral("Ports/Com1"), tty);
    settings.setValue(QStringLiteral("Settings/COM-Port"), QStringLiteral("1"));
    const PortMap map(&settings);
    QtSerialPort port(map);
    SteadyClock clock;
    EventLoopPump pump;
    RecordingMessages messages;
    Link link(port, clock, pump, messages);
    ProgramData data;
    {
        MDIForm1 main(link, data, messages, settings, map);
        main.setProgramFolder(dir.filePath(QStringLiteral("program")));
        main.Form_Load();
        main.show();
        main.Update->trigger();
        QTRY_VERIFY(main.updateWindow() && !data.FirmwareFile.isEmpty());
        Form_Update* u = main.updateWindow();
        QCOMPARE(data.FirmwareFile, imagePath);
        u->Toolbar1_ButtonClick(4);
        QVERIFY2(messages.shown.isEmpty(), qPrintable(messages.texts().join('\n')));
        QCOMPARE(u->Label_title->text(), QStringLiteral("Ready"));
        QVERIFY(main.close());
    }
    QTRY_VERIFY(QFile::exists(received));
    QFile f(received);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QVERIFY(f.readAll() == image);
    sim.terminate();
    sim.waitForFinished(3000);
}

QTEST_MAIN(TstGuiEndToEnd)
#include "tst_gui_e2e.moc"
