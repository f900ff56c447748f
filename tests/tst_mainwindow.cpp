// The main window: port probe, port choice, the stored port, its place on the screen.
#include <QGroupBox>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QScreen>
#include <QScrollBar>
#include <QtTest>

#include "support/guirig.h"

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
    void lostPortIsUnchecked();
    void placeIsRemembered();
    void smallWindowScrolls();
    void portProblemsAreNamed();
    void childWindowsFitAndAreListed();
};

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
    QCOMPARE(g.sim.messages.texts(),
             QStringList{QStringLiteral("ComPortError: No Com Ports available!")});
    g.main->com[0]->trigger();  // changes nothing
    QCOMPARE(g.main->checkedPort(), 0);
    g.sim.messages.shown.clear();
    g.main->Program->trigger();
    QCOMPARE(g.sim.messages.texts(),
             QStringList{QStringLiteral("ComPortError: No Com Port selected!")});
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
    g.main->com_Click(3);  // will not open: said, and no item stays checked
    QVERIFY(!g.main->com[5]->isChecked() && !g.sim.port.isOpen());
    QCOMPARE(g.sim.messages.shown.size(), 1);
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
    QTest::newRow("nothing stored, none chosen") << 0 << 0 << 0 << 0;
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

void TstMainWindow::lostPortIsUnchecked() {
    GuiRig g;
    g.start(1);
    QCOMPARE(g.main->checkedPort(), 1);
    g.sim.port.loseDevice();
    g.settle();
    QCOMPARE(g.main->checkedPort(), 0);
    QVERIFY(!g.main->com[1]->isChecked());
    QCOMPARE(g.sim.messages.shown.size(), 1);
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
        QVERIFY2(lines[2].endsWith(QStringLiteral("in use by another program")),
                 qPrintable(lines[2]));
        main.com_Click(7);
        QCOMPARE(messages.shown.last().text, lines[2]);
        QCOMPARE(main.checkedPort(), 0);
    }
}

// In a window smaller than the overview, as a window manager may make it on a laptop,
// Converter 12's output scrolls into view.
void TstMainWindow::smallWindowScrolls() {
    GuiRig g;
    Form_Uebersicht* f = g.startOverview();
    g.main->setWindowState(Qt::WindowNoState);
    g.main->resize(700, 450);
    QMdiArea* mdi = g.main->mdiArea();
    g.settle();
    for (QScrollBar* s : {mdi->verticalScrollBar(), mdi->horizontalScrollBar()}) {
        QVERIFY(s->isVisible());
        s->setValue(s->maximum());
    }
    g.settle();
    const QWidget* output = f->Frame_Output[11];
    QVERIFY(mdi->viewport()->rect().contains(
        QRect(output->mapTo(mdi->viewport(), QPoint(0, 0)), output->size())));
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
    for (QAction* a : g.main->WindowMenu->actions()) {
        if (a->text() == QLatin1String("&1 Overview")) a->trigger();
    }
    g.settle();
    QCOMPARE(mdi->activeSubWindow()->widget(), g.main->overview());
    QCOMPARE(listed(), (QStringList{"* &1 Overview", "  &2 Diagnostic", "  &3 Update Utility"}));
}

QTEST_MAIN(TstMainWindow)
#include "tst_mainwindow.moc"
