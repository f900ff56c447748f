// The main window: port probe, port choice, the stored port, its place on the screen.
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QPlainTextEdit>
#include <QScreen>
#include <QtTest>

#include "app/filemenudialogs.h"
#include "support/guirig.h"
#include "uisupport/fieldmark.h"

using namespace meridan;
using namespace meridan::test;

class TstMainWindow : public QObject {
    Q_OBJECT
  private Q_SLOTS:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }
    void probeShowsThePortsThatOpen_data();
    void probeShowsThePortsThatOpen();
    void storedPort_data();
    void storedPort();
    void choosingPorts();
    void placeIsRemembered();
    void portProblemsAreNamed();
    void childWindowsFitAndAreListed();
    void plansBackupsAndTheReport();
};

namespace {

// A plan of the unit's settings as `s` holds them, with the changes given (converter from 1,
// key, value).
QString writePlan(GuiRig& g, const QString& name, const sim::HeadendState& s,
                  const QList<std::tuple<int, QString, int>>& changes) {
    QJsonArray channels;
    for (const sim::SimChannel& c : s.channels) {
        channels.append(QJsonObject{{"carrier", c.carrier},
                                    {"sat", c.polarisation + 1},
                                    {"input_mhz", c.inFreq},
                                    {"gain", c.gain}});
    }
    for (const auto& [converter, key, value] : changes) {
        QJsonObject o = channels[converter - 1].toObject();
        o[key] = value;
        channels[converter - 1] = o;
    }
    const QString path = g.dir.filePath(name);
    QFile f(path);
    if (f.open(QIODevice::WriteOnly))
        f.write(QJsonDocument(QJsonObject{{"format", 1}, {"channels", channels}}).toJson());
    return path;
}

// Which fields are marked: "converter:field" for each, in ChannelField order.
QStringList marked(Form_Uebersicht* f) {
    QStringList out;
    for (int i = 0; i < ConverterCount; ++i) {
        for (const ChannelField field : {ChannelField::Polarisation, ChannelField::InFreq,
                                         ChannelField::Gain, ChannelField::Carrier})
            if (f->mark(i, field)->marked())
                out << QStringLiteral("%1:%2").arg(i + 1).arg(int(field));
    }
    return out;
}

}  // namespace

void TstMainWindow::probeShowsThePortsThatOpen_data() {
    QTest::addColumn<QList<int>>("usable");
    QTest::newRow("three ports") << QList<int>{2, 5, 15};
    QTest::newRow("none") << QList<int>{99};
}

void TstMainWindow::probeShowsThePortsThatOpen() {
    QFETCH(QList<int>, usable);
    GuiRig g;
    g.sim.port.setAvailablePorts(QSet<int>(usable.begin(), usable.end()));
    g.start(0);
    const bool none = usable == QList<int>{99};
    QCOMPARE(g.main->com[0]->isVisible(), none);
    for (int n = 1; n <= 15; ++n)
        QCOMPARE(g.main->com[n]->isVisible(), usable.contains(n));
    // The status bar's panels hide a status tip: the item shows its device as a tool tip.
    QCOMPARE(g.main->com[5]->toolTip(), QStringLiteral("/dev/ttyUSB0"));
    QCOMPARE(g.main->checkedPort(), 0);
    QVERIFY(!g.sim.port.isOpen());
    if (!none) {
        QVERIFY(g.sim.messages.shown.isEmpty());
        return;
    }
    QCOMPARE(g.sim.messages.texts(), QStringList{"ComPortError: No Com Ports available!"});
    g.main->com[0]->trigger();  // changes nothing
    QCOMPARE(g.main->checkedPort(), 0);
    g.sim.messages.shown.clear();
    g.main->Program->trigger();
    QCOMPARE(g.sim.messages.texts(), QStringList{"ComPortError: No Com Port selected!"});
    QVERIFY(!g.main->overview());
}

void TstMainWindow::choosingPorts() {
    GuiRig g;
    g.sim.port.setAvailablePorts({2, 5});
    g.start(0);
    g.main->com[2]->trigger();
    QCOMPARE(g.main->checkedPort(), 2);
    QVERIFY(g.sim.port.isOpen());
    const int opens = g.sim.port.opens();
    g.main->com[2]->trigger();  // the checked item again: closed and reopened
    QCOMPARE(g.sim.port.opens(), opens + 1);
    QVERIFY(g.main->com[2]->isChecked());
    QVERIFY(g.sim.port.isOpen());
    g.main->com[5]->trigger();
    QVERIFY(!g.main->com[2]->isChecked() && g.main->com[5]->isChecked());
    QCOMPARE(g.sim.port.portNumber(), 5);
    QVERIFY(g.sim.messages.shown.isEmpty());
    g.sim.port.loseDevice();  // said, and unchecked
    g.settle();
    QVERIFY(g.main->checkedPort() == 0 && !g.main->com[5]->isChecked());
    QCOMPARE(g.sim.messages.shown.size(), 1);
    g.main->com_Click(2);
    g.main->com_Click(3);  // will not open: said, and no item stays checked
    QVERIFY(!g.main->com[2]->isChecked() && !g.sim.port.isOpen());
    QCOMPARE(g.sim.messages.shown.size(), 2);
}

// The stored port is opened at start if it can be; at exit the port in use is stored, and
// with none in use the stored one stays.
void TstMainWindow::storedPort_data() {
    QTest::addColumn<int>("stored");
    QTest::addColumn<int>("checked");  // at start
    QTest::addColumn<int>("chosen");
    QTest::addColumn<int>("expected");  // stored at exit
    QTest::newRow("stored port opens") << 5 << 5 << 0 << 5;
    QTest::newRow("stored port gone, none chosen: kept") << 7 << 0 << 0 << 7;
    QTest::newRow("nothing stored, one chosen") << 0 << 0 << 5 << 5;
    QTest::newRow("changed port") << 2 << 2 << 5 << 5;
}

void TstMainWindow::storedPort() {
    QFETCH(int, stored);
    QFETCH(int, checked);
    QFETCH(int, chosen);
    QFETCH(int, expected);
    GuiRig g;
    g.sim.port.setAvailablePorts({2, 5, 15});
    g.start(stored);
    QCOMPARE(g.main->checkedPort(), checked);
    QCOMPARE(g.sim.port.isOpen() ? g.sim.port.portNumber() : 0, checked);
    if (chosen) g.main->com_Click(chosen);
    QVERIFY(g.main->close());
    QVERIFY(!g.sim.port.isOpen());
    QCOMPARE(g.storedPort(), expected);
}

// Size and place are remembered; a place off every screen comes back inside this one.
void TstMainWindow::placeIsRemembered() {
    GuiRig g;
    g.start();
    const QRect free = g.main->screen()->availableGeometry();
    auto reopen = [&](const QRect& geometry) {
        g.main->setWindowState(Qt::WindowNoState);
        g.main->setGeometry(geometry);
        g.settle();
        QVERIFY(g.main->close());
        g.main = std::make_unique<MDIForm1>(g.sim.link, g.data, g.dialogs, *g.settings,
                                            PortMap(g.settings.get()));
        g.main->show();
        g.settle();
    };
    reopen(QRect(60, 50, 600, 400));
    QCOMPARE(g.main->geometry(), QRect(60, 50, 600, 400));
    reopen(QRect(3000, 2000, 1600, 1000));
    QVERIFY(free.contains(g.main->frameGeometry()));
}

// The real serial port: a port another program holds, and a [Ports] setting with a NUL byte,
// over three starts in a row (Qt names a lock file after the device; a NUL left one behind
// that crashed every later start).
void TstMainWindow::portProblemsAreNamed() {
    QTemporaryDir dir;
    Pty held;
    QtSerialPort other{PortMap()};
    other.setDevicePath(held.path());
    QVERIFY(other.open());
    const QString conf = dir.filePath(QStringLiteral("Meridan Converter.conf"));
    {
        QFile f(conf);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("[Ports]\n");
        for (int n = 1; n <= 15; ++n) {
            QByteArray device = dir.filePath(QStringLiteral("tty%1").arg(n)).toUtf8();
            if (n == 5) device += QByteArray(1, '\0') + "X";
            if (n == 7) device = held.path().toUtf8();
            f.write("Com" + QByteArray::number(n) + '=' + device + '\n');
        }
    }
    for (int start = 1; start <= 3; ++start) {
        QSettings settings(conf, QSettings::IniFormat);
        const PortMap map(&settings);
        RealLink real(map);
        RecordingMessages& messages = real.messages;
        ProgramData data;
        MDIForm1 main(real.link, data, messages, settings, map);
        main.Form_Load();
        QCOMPARE(messages.shown.size(), 1);
        const QStringList lines = messages.shown[0].text.split(QLatin1Char('\n'));
        QCOMPARE(lines.size(), 3);
        QVERIFY2(lines[1].contains(QStringLiteral("Com5")), qPrintable(lines[1]));
        QVERIFY2(lines[2].endsWith("in use by another program"), qPrintable(lines[2]));
        main.com_Click(7);
        QCOMPARE(messages.shown.last().text, lines[2]);
        QCOMPARE(main.checkedPort(), 0);
    }
}

// On a 1024 x 768 screen every child window opens whole inside the main window, and the
// Window menu lists them, the active one checked; choosing one brings it forward (the
// overview's Program item stays disabled while it exists).
void TstMainWindow::childWindowsFitAndAreListed() {
    GuiRig g;
    g.start();
    g.main->setWindowState(Qt::WindowNoState);
    g.main->resize(1024 - 16, 768 - 48);  // what a 1024 x 768 screen leaves it
    g.settle();
    g.openOverview();
    g.main->Diagnostic->trigger();
    g.openUpdate();
    QMdiArea* mdi = g.main->mdiArea();
    for (QMdiSubWindow* child : mdi->subWindowList())
        QVERIFY2(mdi->viewport()->rect().contains(child->geometry()),
                 qPrintable(child->windowTitle()));

    auto listed = [&] {
        Q_EMIT g.main->WindowMenu->aboutToShow();
        QStringList entries;
        for (QAction* a : g.main->WindowMenu->actions()) {
            if (a->objectName() == QLatin1String("WindowChild"))
                entries << (a->isChecked() ? "* " : "  ") + a->text();
        }
        return entries;
    };
    QCOMPARE(listed(), (QStringList{"  &1 Overview", "  &2 Diagnostic", "* &3 Update Utility"}));
    for (QAction* a : g.main->WindowMenu->actions())
        if (a->text() == QLatin1String("&1 Overview")) a->trigger();
    g.settle();
    QCOMPARE(mdi->activeSubWindow()->widget(), g.main->overview());
    QCOMPARE(listed(), (QStringList{"* &1 Overview", "  &2 Diagnostic", "  &3 Update Utility"}));
}

// A record saved from the window opens again with nothing marked, raw values and all; a plan
// the loader refuses changes nothing; a plan is shown as edits; a backup restores the unit
// exactly; the report reads the unit when it is asked for and names the last Save, its backup
// and the firmware sent. No File item opens a dialog while a Save runs.
void TstMainWindow::plansBackupsAndTheReport() {
    GuiRig g;
    sim::HeadendState& s = g.sim.model.state();
    s.channels[3].carrier = 3;
    s.channels[5].polarisation = 5;
    s.channels[6].inFreq = 3000;
    const sim::HeadendState unit = s;
    g.start();
    QVERIFY(!g.main->OpenPlan->isEnabled() && !g.main->SaveReport->isEnabled());
    Form_Uebersicht* f = g.openOverview();
    QVERIFY(g.main->OpenPlan->isEnabled() && g.main->SaveReport->isEnabled());
    g.fileDialogs.answer = g.dir.filePath("unit.json");
    g.main->SavePlanAs->trigger();
    QCOMPARE(QFileInfo(g.fileDialogs.proposed).fileName(), "MC_1200-10423-plan.json");
    g.main->OpenPlan->trigger();
    QCOMPARE(f->Label_SaveStatus->text(), "Opened unit.json: the unit holds it already.");
    QVERIFY(marked(f).isEmpty() && !g.data.DataChanged);

    g.fileDialogs.answer =
        writePlan(g, "bad.json", unit, {{4, "carrier", 1}, {5, "input_mhz", 3000}});
    g.main->OpenPlan->trigger();
    QCOMPARE(g.sim.messages.texts(),
             QStringList{"Open Plan: " + g.fileDialogs.answer +
                         ": converter 5: \"input_mhz\" 3000 is out of range (950 to 2150)\nThe "
                         "plan was not opened; the overview is as it was."});
    QVERIFY(marked(f).isEmpty() && !g.data.DataChanged);
    QCOMPARE(f->Text_infrequenz[4]->text(), QStringLiteral("1185"));

    g.fileDialogs.answer = writePlan(
        g, "plan.json", unit,
        {{2, "input_mhz", 1250}, {4, "carrier", 1}, {6, "sat", 2}, {7, "input_mhz", 2000}});
    g.main->OpenPlan->trigger();
    QCOMPARE(marked(f), (QStringList{"2:1", "4:4", "6:0", "7:1"}));
    QCOMPARE(f->Text_infrequenz[1]->toolTip(), QStringLiteral("unit: 1054 MHz"));
    QCOMPARE(f->Carrier_On[3]->toolTip(), QStringLiteral("unit: 3"));
    QVERIFY(g.data.DataChanged && g.sim.model.stores() == 0);
    const int asked = g.fileDialogs.asked;
    g.onWrite([&](double t) { g.sim.pump.at(t + 1.0, [&] { g.main->OpenPlan->trigger(); }); });
    QCOMPARE(f->Command_Save_Click(), SequenceResult::Complete);
    QCOMPARE(g.fileDialogs.asked, asked);
    QCOMPARE(g.main->notice(),
             "A Save is running on Com1: Open Plan can be used once it has ended.");
    QCOMPARE(g.sim.model.stored().channels[6].inFreq, 2000);

    // The backups of this unit, newest first: the one this Save took comes back whole.
    const QString taken = QDir(g.backupFolder()).entryList({"*.json"}).value(0);
    for (const char* other :
         {"MC_1200-10423-20200101-000000.json", "MC_1200-99-20991231-000000.json"})
        QFile::copy(QDir(g.backupFolder()).filePath(taken), QDir(g.backupFolder()).filePath(other));
    QStringList listed;
    QTimer::singleShot(0, [&] {
        auto* d = qobject_cast<BackupDialog*>(QApplication::activeModalWidget());
        for (int k = 0; d && k < d->List_Backups->count(); ++k)
            listed << d->List_Backups->item(k)->text().section(' ', -1);
        if (d) d->accept();
    });
    g.main->RestoreBackup->trigger();
    QCOMPARE(listed, (QStringList{taken, "MC_1200-10423-20200101-000000.json"}));
    QCOMPARE(marked(f), (QStringList{"2:1", "4:4", "6:0", "7:1"}));
    QCOMPARE(f->Command_Save_Click(), SequenceResult::Complete);
    for (int i = 0; i < ConverterCount; ++i) {
        const sim::SimChannel &c = g.sim.model.stored().channels[i], &u = unit.channels[i];
        QCOMPARE((QList<int>{c.carrier, c.polarisation, c.inFreq, c.gain}),
                 (QList<int>{u.carrier, u.polarisation, u.inFreq, u.gain}));
    }
    QVERIFY(marked(f).isEmpty() && !g.data.DataChanged);

    if (QStandardPaths::findExecutable(QStringLiteral("pdftotext")).isEmpty())
        QSKIP("pdftotext (poppler-utils) is not installed");
    s.channels[11].inFreq = 2100;  // changed since the Save
    g.data.firmwareSent =
        SentImage{"VELNO_S0100.bin", 65541, QByteArray(32, '\x5a'), "Update Successful"};
    QTimer::singleShot(0, [] {
        auto* d = qobject_cast<ReportDialog*>(QApplication::activeModalWidget());
        if (d) d->Text_Installer->setText("A. Installer");
        if (d) d->accept();
    });
    g.fileDialogs.answer = g.dir.filePath("report.pdf");
    g.main->SaveReport->trigger();
    QCOMPARE(g.main->notice(), "Report saved: " + g.fileDialogs.answer);
    QProcess p;
    p.start("pdftotext", {"-layout", g.fileDialogs.answer, "-"});
    QVERIFY(p.waitForFinished(20000));
    const QString text = QString::fromUtf8(p.readAllStandardOutput());
    QStringList expected{"10423", "Saved and verified",
                         QFileInfo(g.data.lastSave->backup).fileName(), "A. Installer",
                         "VELNO_S0100.bin, 65541 bytes: Update Successful"};
    for (const sim::SimChannel& c : s.channels)
        expected << QString::number(c.inFreq);
    for (const QString& e : expected)
        QVERIFY2(text.contains(e), qPrintable(e));
    QCOMPARE(g.settings->value("Report/Installer").toString(), QStringLiteral("A. Installer"));
    g.main->VerifyAfterSave->trigger();
    QVERIFY(!g.data.VerifyAfterSave && !g.settings->value("Settings/VerifyAfterSave").toBool());
}

QTEST_MAIN(TstMainWindow)
#include "tst_mainwindow.moc"
