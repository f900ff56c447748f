// The Diagnostic window on the offscreen platform, over the simulated headend in virtual
// time, and the one owner of the port among the windows.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPushButton>
#include <QSpinBox>
#include <QTcpSocket>
#include <QtTest>

#include "diagnostic/form_diagnostic.h"
#include "diagnostic/phonepanel.h"
#include "protocol/frame.h"
#include "support/guirig.h"

using namespace meridan;
using namespace meridan::test;

namespace {

const QByteArray EndFrame = CommandFrame::plain(40).bytes();

Form_Diagnostic* openDiagnostic(GuiRig& g) {
    g.main->Diagnostic->trigger();
    g.settle();
    return g.main->diagnosticWindow();
}

// The program started on a paced line, the unit's lock states moving every second (or not),
// and the Diagnostic window open.
Form_Diagnostic* startDiagnostic(GuiRig& g, bool lockChanges = true) {
    g.start();
    g.sim.model.setPaced(true);
    if (lockChanges) g.sim.model.faults().lockChanges = 1.0;
    return openDiagnostic(g);
}

// The texts in the order they came, each once for as long as it stayed.
QStringList changes(const QStringList& texts) {
    QStringList out;
    for (const QString& t : texts) {
        if (out.isEmpty() || out.last() != t) out << t;
    }
    return out;
}

QStringList locks(const QList<QLabel*>& labels) {
    QStringList texts;
    for (const QLabel* l : labels)
        texts << l->text();
    return texts;
}

}  // namespace

class TstDiagnostic : public QObject {
    Q_OBJECT
  private Q_SLOTS:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }
    void statesFollowTheUnit();
    void signalSoundsOnTheChosenInputLock_data();
    void signalSoundsOnTheChosenInputLock();
    void closingSendsTheEndCommand();
    void otherWindowsWaitForTheMonitor();
    void heldUpWaitIsNotSilence();
    void monitorWaitsForTheOtherWindows_data();
    void monitorWaitsForTheOtherWindows();
    void showOnAPhone();
};

// The locks move every second (sim/headendmodel.h, LockPattern): in step 2 converter 3's input
// reads 2, in step 3 converter 4 has lost both locks. Converter 11 has no carrier.
void TstDiagnostic::statesFollowTheUnit() {
    GuiRig g;
    Form_Diagnostic* d = startDiagnostic(g);
    QVERIFY(d->Command_Start->isEnabled() && !d->Command_Stop->isEnabled());
    QStringList at2, at3;
    QString rate;
    // Beside each row its last minute, now at its right end: at 2.5 s converter 3's input is
    // unknown, its output locked; at 3.5 s converter 4 has lost its input lock.
    QList<QColor> now;
    auto right = [&](ui::LockStrip* strip) {
        const QImage image = strip->grab().toImage();
        now << image.pixelColor(image.width() - 2, image.height() / 2);
    };
    g.sim.pump.at(2.5, [&] {
        at2 = locks({d->Label_Status_In[2], d->Label_Status_Out[2], d->Label_Status_In[1],
                     d->Label_Status_In[10]});
        rate = d->Label_Rate->text();
        QVERIFY(!d->Command_Start->isEnabled() && d->Command_Stop->isEnabled());
        right(d->LockStrip_In[2]);
        right(d->LockStrip_Out[2]);
    });
    g.sim.pump.at(3.5, [&] {
        at3 = locks({d->Label_Status_In[3], d->Label_Status_Out[3], d->Label_Status_In[2]});
        right(d->LockStrip_In[3]);
        d->Command_Stop->click();
    });
    d->Command_Start->click();

    QCOMPARE(at2, (QStringList{"Unknown", "Locked", "Locked", "Unlocked"}));
    QCOMPARE(at3, (QStringList{"Unlocked", "Unlocked", "Locked"}));
    using ui::LockSample;
    QCOMPARE(now, (QList<QColor>{ui::LockStrip::colour(LockSample::Unknown),
                                 ui::LockStrip::colour(LockSample::Locked),
                                 ui::LockStrip::colour(LockSample::Unlocked)}));
    // All twelve converters, both locks, at the line rate: 12.6 rounds a second.
    QVERIFY2(rate.endsWith(" rounds/s") && qAbs(rate.split(' ')[0].toDouble() - 12.6) <= 0.2,
             qPrintable(rate));

    QVERIFY(d->Label_State->text().startsWith("Stopped after "));
    QVERIFY(d->Command_Start->isEnabled() && !d->Command_Stop->isEnabled());
    QVERIFY(g.sim.wire.sent().endsWith("N" + EndFrame));
    QVERIFY(g.sim.messages.shown.isEmpty());
}

void TstDiagnostic::signalSoundsOnTheChosenInputLock_data() {
    QTest::addColumn<int>("entry");  // of the converter list: 0 all, n converter n
    QTest::addColumn<bool>("signal");
    QTest::addColumn<int>("beeps");
    // Converter 3's input reads 2 from 2 s to 3 s; converter 7 holds its locks until 6 s.
    QTest::newRow("converter 3") << 3 << true << 2;
    QTest::newRow("converter 3, signal off") << 3 << false << 0;
    QTest::newRow("converter 7: no change") << 7 << true << 0;
}

void TstDiagnostic::signalSoundsOnTheChosenInputLock() {
    QFETCH(int, entry);
    QFETCH(bool, signal);
    QFETCH(int, beeps);
    GuiRig g;
    Form_Diagnostic* d = startDiagnostic(g);
    int beeped = 0;
    d->setBeeper([&] { ++beeped; });
    d->Combo_Converter->setCurrentIndex(entry);
    d->Check_Beep->setChecked(signal);
    g.sim.pump.at(5.0, [&] { d->Command_Stop->click(); });
    d->Command_Start->click();
    QCOMPARE(beeped, beeps);
    // Only the chosen converter's input lock is read.
    const QByteArray frame =
        CommandFrame::forConverter(26, std::uint8_t(entry - 1)).bytes() + QByteArray("N");
    const QByteArray sent = g.sim.wire.sent();
    QCOMPARE(sent.count(frame) * (frame.size()) + 2 + EndFrame.size(), sent.size());
}

void TstDiagnostic::closingSendsTheEndCommand() {
    GuiRig g;
    Form_Diagnostic* d = startDiagnostic(g, false);
    g.sim.pump.at(1.2, [&] { d->parentWidget()->close(); });
    d->Command_Start->click();
    g.settle();
    QVERIFY(!g.main->diagnosticWindow());
    // The exchange in progress was completed; the end command is the last thing sent.
    QCOMPARE(g.sim.wire.framesAfter(1.2), QList<QByteArray>{EndFrame});
    QVERIFY(g.sim.model.violations().isEmpty());
    QCOMPARE(g.sim.link.owner(), QString());
}

// While the monitor runs, the other windows start nothing on the port and open no box inside
// its wait: the status bar says why. The monitor goes on as if nothing happened; the overview
// opened meanwhile reads the unit once the port is free.
void TstDiagnostic::otherWindowsWaitForTheMonitor() {
    GuiRig g;
    g.sim.port.setAvailablePorts({1, 2});
    writeImage(g.programDir.filePath(QStringLiteral("VELNO_S0001.bin")), 1000);
    Form_Diagnostic* d = startDiagnostic(g, false);
    QStringList notices, states;
    g.sim.pump.at(1.0, [&] {
        g.main->Program->trigger();  // the overview reads on opening
        g.settle();
        notices << g.main->notice();
        QCOMPARE(g.main->overview()->Command_Save_Click(), SequenceResult::Refused);
        notices << g.main->notice();
        g.main->Update->trigger();
        g.settle();
        for (const int key : {0, int(Qt::Key_F1), int(Qt::Key_F2)}) {  // 0: the Update button
            if (key) g.main->updateWindow()->Form_KeyDown(key);
            if (!key) g.main->updateWindow()->Toolbar1_ButtonClick(4);
            notices << g.main->notice();
        }
        g.main->com[2]->trigger();
        notices << g.main->notice();
        g.main->mdiArea()->setActiveSubWindow(  // the overview active again: still no read
            qobject_cast<QMdiSubWindow*>(g.main->overview()->parentWidget()));
    });
    for (double t = 1.0; t < 10; t += 0.5)
        g.sim.pump.at(t, [&] { states << d->Label_State->text(); });
    g.sim.pump.at(10.0, [&] { d->Command_Stop->click(); });
    d->Command_Start->click();
    // Nothing of theirs reached the unit: no read, no update request.
    const QByteArray sent = g.sim.wire.sent();
    QVERIFY(!sent.contains(CommandFrame::plain(48).bytes()) && !sent.contains("UP"));
    QVERIFY(sent.count("TS") == 1 && sent.endsWith(EndFrame));
    const QString held = "The port is in use by the Diagnostic window.";
    const QStringList expected = QStringList(4, held)
                                 << held + " The expert password can be given once it is free."
                                 << "The Diagnostic monitor is running (Stop ends it) on Com1: the "
                                    "port can be changed once it has ended.";
    QCOMPARE(notices, expected);
    QVERIFY(g.sim.messages.shown.isEmpty() && g.main->checkedPort() == 1);
    QCOMPARE(changes(states), QStringList{"Running"});
    // The overview, the active window, reads the unit now that the port is free.
    QVERIFY(g.main->overview()->Label_Typ->text().isEmpty());
    g.settle();
    QCOMPARE(g.main->overview()->Label_Typ->text(), QStringLiteral("MC 1200"));
}

// The program itself holds the monitor's wait up for 15 s (as a box opened inside it did): the
// unit's answer came meanwhile, so the unit is not silent. A unit that is silent is said so, and
// its last states are greyed until it answers again. Rows show "-" until their first answer.
void TstDiagnostic::heldUpWaitIsNotSilence() {
    GuiRig g;
    Form_Diagnostic* d = startDiagnostic(g, false);
    QStringList states, rows;
    auto row = [&] {
        const QLabel* l = d->Label_Status_In[0];
        rows << l->text() + '|' + l->toolTip() + '|' + l->palette().color(QPalette::Window).name();
    };
    g.sim.pump.at(0.0, row);
    g.sim.pump.at(2.0, [&] {
        // A nested loop that takes in what arrives but does not let the monitor's wait go on.
        for (const double until = g.sim.clock.now() + 15.0; g.sim.clock.now() < until;) {
            g.sim.clock.set(g.sim.clock.now() + 0.01);
            g.sim.port.deliver(g.sim.clock.now());
            QCoreApplication::processEvents();
        }
    });
    for (double t = 1.0; t < 40; t += 0.5)
        g.sim.pump.at(t, [&] { states << d->Label_State->text().section(' ', 0, 2); });
    g.sim.pump.at(22.0, [&] { g.sim.model.faults().silent = true; });
    g.sim.pump.at(30.0, row);
    g.sim.pump.at(30.0, [&] { g.sim.model.faults().silent = false; });
    g.sim.pump.at(40.0, row);
    g.sim.pump.at(40.0, [&] { d->Command_Stop->click(); });
    d->Command_Start->click();
    QCOMPARE(changes(states), (QStringList{"Running", "No answer since", "Running"}));
    using F = Form_Diagnostic;
    QCOMPARE(rows,
             (QStringList{"-|No answer yet|" + F::colour(F::Shown::NotRead).name(),
                          "Locked|Last answer 1; the unit is silent now|" +
                              F::colour(F::Shown::Stale).name(),
                          "Locked|The unit answered 1|" + F::colour(F::Shown::Locked).name()}));
    QVERIFY(g.sim.messages.shown.isEmpty());
}

void TstDiagnostic::monitorWaitsForTheOtherWindows_data() {
    QTest::addColumn<bool>("update");
    QTest::addColumn<QString>("owner");
    QTest::newRow("overview reading") << false << "Overview";
    QTest::newRow("firmware update") << true << "Firmware Update";
}

void TstDiagnostic::monitorWaitsForTheOtherWindows() {
    QFETCH(bool, update);
    QFETCH(QString, owner);
    GuiRig g;
    g.start();
    writeImage(g.programDir.filePath(QStringLiteral("VELNO_S0001.bin")), 1000);
    Form_Diagnostic* d = openDiagnostic(g);
    bool startEnabled = true;
    g.sim.pump.at(0.2, [&] {
        startEnabled = d->Command_Start->isEnabled();
        d->Command_Start_Click();
    });
    update ? g.openUpdate()->Toolbar1_ButtonClick(4) : void(g.openOverview());
    QVERIFY(!startEnabled);
    QCOMPARE(g.main->notice(), QStringLiteral("The port is in use by the %1 window.").arg(owner));
    QVERIFY(g.sim.messages.shown.isEmpty());
    QVERIFY(!g.sim.wire.sent().contains(CommandFrame::forConverter(26, 0).bytes() + "N" +
                                        CommandFrame::forConverter(29, 0).bytes()));
    QVERIFY(d->Command_Start->isEnabled());
}

// "Show on a phone": the panel shows the page's address, with the session's token, and its QR
// code; the monitor's run is served there until Stop.
void TstDiagnostic::showOnAPhone() {
    GuiRig g;
    Form_Diagnostic* d = startDiagnostic(g);
    auto* phone = d->findChild<PhonePanel*>();
    QVERIFY(phone && !phone->isVisible());
    phone->Check_Phone->click();
    QVERIFY(phone->isVisible() && !phone->Label_Code->pixmap().isNull());
    QVERIFY(phone->Label_Url->text().contains(QRegularExpression("/\\?token=[0-9a-f]{32}$")));
    phone->Combo_Address->setCurrentIndex(phone->Combo_Address->findData("127.0.0.1"));
    const quint16 port = freeTcpPort();
    phone->Spin_Port->setValue(port);
    const QString url = phone->Label_Url->text();
    QVERIFY(url.startsWith(QStringLiteral("http://127.0.0.1:%1/?token=").arg(port)));
    QVERIFY(!phone->server());

    QByteArray stream;
    g.sim.pump.at(2.0, [&] {
        QTcpSocket viewer;
        viewer.connectToHost(QHostAddress::LocalHost, port);
        viewer.write("GET /events?" + QUrl(url).query().toLatin1() + " HTTP/1.1\r\n\r\n");
        QVERIFY(
            QTest::qWaitFor([&] { return (stream += viewer.readAll()).contains("}\n\n"); }, 5000));
        QVERIFY(phone->Label_Serving->text().contains("1 phone watching"));
    });
    g.sim.pump.at(2.5, [&] { d->Command_Stop->click(); });
    d->Command_Start->click();
    // What the state holds of the run, the unit's identity first, is the live server's test.
    QVERIFY2(stream.contains("\"state\":\"running\""), stream.constData());
    // The server has gone with the run.
    QVERIFY(!phone->server());
}

QTEST_MAIN(TstDiagnostic)
#include "tst_diagnostic.moc"
