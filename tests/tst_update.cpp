// The update window on the offscreen platform, over the simulated headend in virtual time.
#include <sys/stat.h>
#include <QAction>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QTimer>
#include <QtTest>

#include "expert/frmlogin.h"
#include "support/guirig.h"
#include "uisupport/activityind.h"
#include "uisupport/pointer.h"
#include "update/form_filelist.h"

using namespace meridan;
using namespace meridan::test;

namespace {

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Types into the password dialog once it is up, then presses Enter.
void answerPassword(const QString& password) {
    QTimer::singleShot(0, [password] {
        auto* login = qobject_cast<frmLogin*>(QApplication::activeModalWidget());
        if (!login) return;
        QTest::keyClicks(login->txtPassword, password);
        QTest::keyClick(login->txtPassword, Qt::Key_Return);
        if (login->isVisible()) login->reject();  // a wrong password: give up
    });
}

// Title, status panel, percent and bar as the window shows them.
QString shown(GuiRig& g, Form_Update* u) {
    return QStringList{u->Label_title->text(), g.main->StatusBar1[1]->text(), u->Label1->text(),
                       QString::number(u->ProgressBar1->value()) + QLatin1Char('/') +
                           QString::number(u->ProgressBar1->maximum())}
        .join(QLatin1Char('|'));
}

// Buttons 3, 4, 5 and 8 usable (3 and 5 as far as they are shown), 7 not.
bool idleToolbar(Form_Update* u) {
    auto usable = [u](int k) { return !u->button(k)->isVisible() || u->button(k)->isEnabled(); };
    return usable(3) && u->button(4)->isEnabled() && usable(5) && u->button(8)->isEnabled() &&
           !u->button(7)->isEnabled();
}

}  // namespace

class TstUpdate : public QObject {
    Q_OBJECT
  private Q_SLOTS:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }
    void init() { ui::setDefaultPointer(); }
    void choosesTheNewestImage();
    void noImageIsSaidAndRefused();
    void updateFromTheToolbar();
    void restartAndEnd_data();
    void restartAndEnd();
    void keysBelongToTheWindow();
    void addFile();
    void everyWayOutRestoresThePointerAndThePanel_data();
    void everyWayOutRestoresThePointerAndThePanel();
    void noDialogDuringATransfer_data();
    void noDialogDuringATransfer();
    void restartsSendTheImageChosenAtTheStart();
};

// The newest image of the program's folder that fits the name pattern; in expert mode the list
// of them, newest first.
void TstUpdate::choosesTheNewestImage() {
    GuiRig g;
    const QDateTime now = QDateTime::currentDateTime();
    writeImage(g.programDir.filePath("VELNO_S100.bin"), 10, now.addDays(-2));
    writeImage(g.programDir.filePath("VELNO_S200.bin"), 10, now.addDays(-1));
    writeImage(g.programDir.filePath("VELNO_S050.bin"), 10, now.addDays(-3));
    writeImage(g.programDir.filePath("OTHER.bin"), 10, now);
    Form_Update* u = g.startUpdate();
    QCOMPARE(g.data.FirmwareFile, g.programDir.filePath("VELNO_S200.bin"));
    QCOMPARE(u->Text_Filename->text(), QDir::toNativeSeparators(g.data.FirmwareFile));
    g.data.ExpertMode = true;
    QStringList listed;
    QTimer::singleShot(0, [&] {
        auto* list = qobject_cast<Form_Filelist*>(QApplication::activeModalWidget());
        QVERIFY(list);
        for (int k = 0; k < list->List1->count(); ++k)
            listed << list->List1->item(k)->text();
        Q_EMIT list->List1->itemDoubleClicked(list->List1->item(1));
    });
    u->SelectFirmwareFile(true);
    QCOMPARE(listed, (QStringList{"VELNO_S200.bin", "VELNO_S100.bin", "VELNO_S050.bin"}));
    QVERIFY(!ui::hourglassShown());  // chosen outside an update: the usual pointer stays
    QCOMPARE(g.data.FirmwareFile, g.programDir.filePath("VELNO_S100.bin"));

    // Closed without a choice: the earlier one stays.
    QTimer::singleShot(0, [] {
        if (auto* list = qobject_cast<Form_Filelist*>(QApplication::activeModalWidget()))
            list->reject();
    });
    u->SelectFirmwareFile(true);
    QCOMPARE(g.data.FirmwareFile, g.programDir.filePath("VELNO_S100.bin"));
}

// Without an image the update is refused and said; Exit then closes the window and clears the
// panel the window wrote.
void TstUpdate::noImageIsSaidAndRefused() {
    GuiRig g;
    Form_Update* u = g.startUpdate();
    QVERIFY(u->Text_Filename->text().startsWith("No firmware image VELNO_S*.bin"));
    u->Toolbar1_ButtonClick(4);
    QCOMPARE(g.sim.messages.texts(),
             QStringList{"Update Error: No firmware image VELNO_S*.bin found!"});
    QVERIFY(g.sim.wire.chunks.isEmpty());
    QVERIFY(idleToolbar(u) && !g.data.firmwareSent);
    // The elapsed time, across the wrap of the tick count.
    std::uint32_t tick = 0xFFFFFF00u;
    u->setTickSource([&] { return tick; });
    u->resetClock();
    u->startClock();
    for (int k = 0; k < 10; ++k) {
        tick += 100;
        u->Timer1_Timer();
    }
    QCOMPARE(u->lblZeit->text(), "0:00:01");
    g.main->setStatusPanel(2, "something");
    u->Toolbar1_ButtonClick(8);
    g.settle();
    QVERIFY(!g.main->updateWindow());
    QVERIFY(g.main->StatusBar1[1]->text().isEmpty());
}

void TstUpdate::updateFromTheToolbar() {
    GuiRig g;
    const QByteArray image = writeImage(g.programDir.filePath("VELNO_S1.bin"), 65536 + 5);
    Form_Update* u = g.startUpdate();
    QStringList seen;
    bool onlyCancel = false;  // during the handshake
    g.sim.pump.at(0.5, [&] {
        seen << shown(g, u);
        onlyCancel = u->button(7)->isEnabled() && !u->button(4)->isEnabled();
    });
    g.sim.pump.at(8.0, [&] { seen << shown(g, u); });  // the module has confirmed
    u->Toolbar1_ButtonClick(4);
    QVERIFY(onlyCancel);
    QCOMPARE(seen, (QStringList{"Waiting for response...|Waiting for response...|0%|0/100",
                                "Update Successful / Update erfolgreich|| 100%|8/8"}));

    QVERIFY(g.sim.model.firmwareImage() == image + QByteArray(65536 - 5, ' '));
    // Kept for the commissioning report.
    QVERIFY(g.data.firmwareSent);
    QCOMPARE(g.data.firmwareSent->name + ' ' + QString::number(g.data.firmwareSent->size) + ' ' +
                 g.data.firmwareSent->result,
             QStringLiteral("VELNO_S1.bin 65541 Update Successful"));
    QCOMPARE(g.data.firmwareSent->sha256,
             QCryptographicHash::hash(image, QCryptographicHash::Sha256));
    QVERIFY(idleToolbar(u) && !u->Timer1->isActive() && !ui::hourglassShown());
}

// A stall after the first sector restarts the update: with Cancel pressed during the transfer
// the restart ends it, otherwise the fourth stall does. Either way the window says what
// happens, every restart begins with an empty bar at 0%, and Ready leaves nothing behind.
void TstUpdate::restartAndEnd_data() {
    QTest::addColumn<bool>("cancel");
    QTest::newRow("cancel during the transfer") << true;
    QTest::newRow("four stalls") << false;
}

void TstUpdate::restartAndEnd() {
    QFETCH(bool, cancel);
    GuiRig g;
    writeImage(g.programDir.filePath("VELNO_S1.bin"), 3 * 65536);
    g.sim.model.faults().stallSector = 1;
    g.sim.model.faults().stallAttempts = cancel ? 1 : 4;
    Form_Update* u = g.startUpdate();
    QString seen;
    if (cancel) g.sim.pump.at(3.0, [&] { u->button(7)->trigger(); });  // before the first sector
    // The second sector is never asked for: its answer window opens 11.4 s after the first
    // sector went out (its time on the line) and closes 10 s later; 2 s of "Error", then the
    // second attempt's handshake.
    g.sim.pump.at(27.5, [&] { seen = shown(g, u); });
    u->Toolbar1_ButtonClick(4);

    if (cancel) {
        QCOMPARE(seen, QStringLiteral("Cancel requested|Cancel requested|0%|0/12"));
        QCOMPARE(g.sim.model.updateAttempts(), 2);
        // Nothing after the second "UP".
        QCOMPARE(g.sim.wire.chunks.last().time, g.sim.wire.timeSent("UP", 1));
        QVERIFY(g.sim.messages.shown.isEmpty());
        QCOMPARE(u->Label_englisch->text(), QStringLiteral("Update cancelled"));
    } else {
        QCOMPARE(seen, QStringLiteral("Waiting for response...|Waiting for response...|0%|0/12"));
        QCOMPARE(g.sim.model.updateAttempts(), 4);
        QCOMPARE(g.sim.messages.texts(),
                 QStringList{QStringLiteral("Update Error: Update error\rUpdate Fehler")});
        QCOMPARE(u->Label_englisch->text(),
                 QStringLiteral("To start update procedure press Update button"));
    }
    QCOMPARE(shown(g, u), QStringLiteral("Ready||0%|0/12"));
    QVERIFY(idleToolbar(u) && !ui::hourglassShown());
    QCOMPARE(g.sim.model.updatesCompleted(), 0);
    // A cancel does not stop the next update, started with F1.
    u->Form_KeyDown(Qt::Key_F1);
    QCOMPARE(g.sim.model.updatesCompleted(), 1);
}

// F1 and Esc act whenever the update window is the active child window, whatever of it has
// the focus; not in the password dialog, which unlocks expert mode (F2 or the Expert button). (The
// Xvfb test presses F1, F2 and Esc in the overview and in the password dialog of the real program.)
void TstUpdate::keysBelongToTheWindow() {
    GuiRig g;
    writeImage(g.programDir.filePath("VELNO_S1.bin"), 100);
    Form_Update* u = g.startUpdate();
    QTimer::singleShot(0, [] {  // the Expert button's dialog keeps its keys to itself
        auto* login = qobject_cast<frmLogin*>(QApplication::activeModalWidget());
        QVERIFY(login);
        QApplication::setActiveWindow(login);  // as a window system does; offscreen does not
        QTest::keyClick(login->txtPassword, Qt::Key_F1);
        QTest::keyClick(login->txtPassword, Qt::Key_Escape);
    });
    u->button(5)->trigger();
    QApplication::setActiveWindow(g.main.get());
    QCOMPARE(g.sim.model.updateAttempts(), 0);
    QVERIFY(g.main->isVisible());

    answerPassword("12345");  // F2, wrong password: nothing changes
    u->Form_KeyDown(Qt::Key_F2);
    QVERIFY(!g.data.ExpertMode && !u->button(3)->isVisible() && u->button(5)->isVisible());
    answerPassword(frmLogin::ExpertPassword);  // the Expert button
    u->Toolbar1_ButtonClick(5);
    QVERIFY(g.data.ExpertMode && u->button(3)->isVisible() && !u->button(5)->isVisible());
    // In expert mode F2 runs the module check and the update at once.
    u->Form_KeyDown(Qt::Key_F2);
    QVERIFY(g.sim.wire.sent().startsWith("UPUPOK"));
    QCOMPARE(g.sim.model.updatesCompleted(), 1);

    g.sim.messages.shown.clear();  // the wrong password's box
    QApplication::setActiveWindow(g.main.get());
    QVERIFY(u->isAncestorOf(QApplication::focusWidget()));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_F1);
    QCOMPARE(g.sim.model.updatesCompleted(), 2);
    // Esc ends the program at once, without a question about the overview's edits.
    g.data.DataChanged = true;
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    for (int k = 0; k < 5; ++k)  // as the event loop runs: windows are deleted after
        QCoreApplication::processEvents();
    QVERIFY(!g.main->isVisible());
    QVERIFY(g.sim.messages.shown.isEmpty());
}

void TstUpdate::addFile() {
    GuiRig g;
    QTemporaryDir elsewhere;
    const QString source = elsewhere.filePath(QStringLiteral("VELNO_S9.bin"));
    writeImage(source, 300);
    Form_Update* u = g.startUpdate();
    const QString dest = g.programDir.filePath("VELNO_S9.bin");

    g.fileDialogs.answer = source;
    u->Toolbar1_ButtonClick(3);
    QCOMPARE(QFileInfo(dest).size(), 300);
    QVERIFY(g.sim.messages.shown.isEmpty());

    // Already there: asked first; Cancel keeps the old file, OK overwrites it.
    writeImage(source, 500);
    g.sim.messages.answer = MessageResult::Cancel;
    u->Toolbar1_ButtonClick(3);
    QCOMPARE(g.sim.messages.texts(),
             QStringList{QStringLiteral("Meridan Converter: File already exists! Overwrite?")});
    QCOMPARE(QFileInfo(dest).size(), 300);
    g.sim.messages.answer = MessageResult::Ok;
    u->Toolbar1_ButtonClick(3);
    QCOMPARE(QFileInfo(dest).size(), 500);

    // The folder runs out of space during an overwrite: the old image stays as it was.
    const QByteArray before = readAll(dest);
    writeImage(source, 256 * 1024);
    g.sim.messages.shown.clear();
    {
        FileSizeLimit full(64 * 1024);
        u->Toolbar1_ButtonClick(3);
    }
    QCOMPARE(g.sim.messages.shown.size(), 2);  // the question, then the failure
    QVERIFY2(g.sim.messages.shown[1].text.contains(QStringLiteral("unchanged")),
             qPrintable(g.sim.messages.shown[1].text));
    QCOMPARE(readAll(dest), before);
    QCOMPARE(QDir(g.programDir.path()).entryList(QDir::Files).size(), 1);  // nothing left over

    // A file already in the program folder is not copied onto itself.
    g.sim.messages.shown.clear();
    g.fileDialogs.answer = dest;
    u->Toolbar1_ButtonClick(3);
    QVERIFY(g.sim.messages.shown.isEmpty());
    QCOMPARE(QFileInfo(dest).size(), 500);

    // A copy that fails is reported and the wait ends.
    g.fileDialogs.answer = elsewhere.filePath(QStringLiteral("VELNO_Sgone.bin"));
    u->Toolbar1_ButtonClick(3);
    QCOMPARE(g.sim.messages.shown.size(), 1);
    QVERIFY(g.sim.messages.shown[0].text.contains(QStringLiteral("could not be copied")));
    // A FIFO (or a device) chosen: refused at once, not read until the disk is full.
    g.sim.messages.shown.clear();
    const QString fifo = elsewhere.filePath(QStringLiteral("VELNO_S7.bin"));
    QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
    g.fileDialogs.answer = fifo;
    u->Toolbar1_ButtonClick(3);
    QCOMPARE(g.sim.messages.shown.size(), 1);
    QVERIFY(g.sim.messages.shown[0].text.endsWith(QStringLiteral("it is not a regular file")));
    QVERIFY(!QFileInfo::exists(g.programDir.filePath("VELNO_S7.bin")));
}

void TstUpdate::everyWayOutRestoresThePointerAndThePanel_data() {
    QTest::addColumn<QString>("way");
    QTest::addColumn<double>("at");  // seconds after the start
    QTest::newRow("close button during the module check") << "close" << 0.5;
    QTest::newRow("close button during the transfer") << "close" << 5.0;
    QTest::newRow("program closed during the transfer") << "program" << 5.0;
    QTest::newRow("Esc during the transfer") << "escape" << 5.0;
}

void TstUpdate::everyWayOutRestoresThePointerAndThePanel() {
    QFETCH(QString, way);
    QFETCH(double, at);
    GuiRig g;
    writeImage(g.programDir.filePath("VELNO_S1.bin"), 2 * 65536);
    Form_Update* u = g.startUpdate();
    QString panelDuring;
    bool hourglassDuring = false;
    double actedAt = 0;
    g.sim.pump.at(g.sim.clock.now() + at, [&] {
        actedAt = g.sim.clock.now();
        panelDuring = g.main->StatusBar1[1]->text();
        hourglassDuring = ui::hourglassShown();
        if (way == QLatin1String("close")) g.main->updateWindow()->parentWidget()->close();
        if (way == QLatin1String("program")) g.main->close();
        if (way == "escape") QTest::keyClick(g.main->updateWindow()->Label_title, Qt::Key_Escape);
    });
    u->Form_KeyDown(Qt::Key_F1);  // the module check, then the transfer
    g.settle();
    QVERIFY(!panelDuring.isEmpty() && hourglassDuring);
    QVERIFY(!ui::hourglassShown() && g.main->StatusBar1[1]->text().isEmpty());
    // Nothing more went to the module; the window went once the transfer had stopped, and
    // with the program closed or Esc the port is closed too.
    QVERIFY(g.sim.wire.lastSent() <= actedAt);
    QCOMPARE(g.sim.model.updatesCompleted(), 0);
    QVERIFY(g.sim.messages.shown.isEmpty());
    QVERIFY(!g.main->updateWindow());
    QCOMPARE(g.sim.port.isOpen(), way == QLatin1String("close"));
}

// F2, Expert and Add File during a transfer or a module check open no dialog (its modal loop
// would hold the transfer up until the module drops the update): the status bar says why, and
// the module gets the image in one attempt. (With the Update button Expert and Add File are
// disabled.)
void TstUpdate::noDialogDuringATransfer_data() {
    QTest::addColumn<bool>("moduleCheck");
    QTest::newRow("Update button") << false;
    QTest::newRow("F1") << true;
}

void TstUpdate::noDialogDuringATransfer() {
    QFETCH(bool, moduleCheck);
    GuiRig g;
    const QByteArray image = writeImage(g.programDir.filePath("VELNO_S1.bin"), 2 * 65536);
    g.sim.model.setPaced(true);
    Form_Update* u = g.startUpdate();
    QStringList notices;
    for (const double at : {3.0, 9.0}) {  // the handshake; a sector on its way
        g.sim.pump.at(at, [&] {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_F2);
            u->button(5)->trigger();
            notices << g.main->notice();
            u->button(3)->trigger();
            notices << g.main->notice();
        });
    }
    moduleCheck ? QTest::keyClick(QApplication::focusWidget(), Qt::Key_F1)
                : u->button(4)->trigger();
    QCOMPARE(g.fileDialogs.asked, 0);
    const QString password =
        "An update is running: the expert password can be given once it has ended.";
    const QString files = "An update is running: files can be added once it has ended.";
    QCOMPARE(notices, QStringList({password, moduleCheck ? files : password}) +
                          QStringList({password, moduleCheck ? files : password}));
    QCOMPARE(g.sim.model.updateAttempts(), moduleCheck ? 2 : 1);  // the check's own "UP" first
    QCOMPARE(g.sim.model.firmwareImage(), image);
    QVERIFY(g.sim.model.violations().isEmpty() && g.sim.messages.shown.isEmpty());
}

// The image is chosen and read when the update starts: neither a newer one copied into the
// folder meanwhile nor the file rewritten is what the automatic restart sends. The window
// shows what it sends.
void TstUpdate::restartsSendTheImageChosenAtTheStart() {
    GuiRig g;
    const QString first = g.programDir.filePath("VELNO_S1.bin");
    const QByteArray sent = writeImage(first, 2 * 65536);
    g.sim.model.faults().stallSector = 1;
    g.sim.model.faults().stallAttempts = 1;
    Form_Update* u = g.startUpdate();
    QString shown;
    g.sim.pump.at(5.0, [&] {
        writeImage(g.programDir.filePath("VELNO_S2.bin"), 3 * 65536,
                   QDateTime::currentDateTime().addDays(1));
        writeImage(first, 65536);
        u->Form_Activate();  // the window chooses again: not for the update that runs
        shown = u->Text_Filename->text() + '|' + u->Label_Image->text();
    });
    u->button(4)->trigger();
    QCOMPARE(g.sim.model.updateAttempts(), 2);
    QCOMPARE(g.sim.model.firmwareImage(), sent);
    QCOMPARE(shown, QDir::toNativeSeparators(first) +
                        "|Sending 131072 bytes (2 sectors), as read at the start of the update");
}

QTEST_MAIN(TstUpdate)
#include "tst_update.moc"
