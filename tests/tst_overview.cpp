// The overview window on the offscreen platform, over the simulated headend in virtual time.
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QPushButton>
#include <QScrollBar>
#include <QtTest>
#include <optional>

#include "plan/profile.h"
#include "protocol/frame.h"
#include "support/guirig.h"
#include "uisupport/fieldmark.h"
#include "uisupport/pointer.h"

using namespace meridan;
using namespace meridan::test;

namespace {
const QString InputMessage = "Error: Input Frequency must be in the range 950 to 2150MHz!";
const QString OutputMessage = "Error: Output Frequency must be in the range 270 to 710MHz!";
const QString SaveQuestion = QStringLiteral("Meridan Converter: Save Settings?");

// Moves the focus from the box to another control of the window, as a Tab would.
void leave(GuiRig& g, QWidget* to) {
    to->setFocus(Qt::TabFocusReason);
    g.settle();
}

// Types over the whole text of a box, as a user does after tabbing into it.
void type(FrequencyBox* box, const QString& text) {
    box->setFocus(Qt::TabFocusReason);
    box->selectAll();
    text.isEmpty() ? QTest::keyClick(box, Qt::Key_Backspace) : QTest::keyClicks(box, text);
}

// Another child window becomes active, then the overview again: it reads the unit anew.
void reactivate(GuiRig& g, Form_Uebersicht* f) {
    QMdiSubWindow* sub = g.main->mdiArea()->addSubWindow(new QWidget);
    sub->show();
    g.main->mdiArea()->setActiveSubWindow(sub);
    g.settle();
    g.main->mdiArea()->setActiveSubWindow(qobject_cast<QMdiSubWindow*>(f->parentWidget()));
    g.settle();
}

// Chooses the entry of a box's context menu whose text starts with `entry` ("Delete", "Undo").
void contextMenu(QWidget* box, const QString& entry) {
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(2, 2), box->mapToGlobal(QPoint(2, 2)));
    QCoreApplication::sendEvent(box, &event);
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    QVERIFY(menu);
    for (QAction* a : menu->actions())
        if (a->text().remove(QLatin1Char('&')).startsWith(entry)) a->trigger();
    menu->close();
}

}  // namespace

class TstOverview : public QObject {
    Q_OBJECT
  private Q_SLOTS:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }
    void init() { ui::setDefaultPointer(); }
    void editing();
    void rangeChecksOnLeaving_data();
    void rangeChecksOnLeaving();
    void saveSendsWhatTheControlsShow();
    void saveChecksEveryValueItSends_data();
    void saveChecksEveryValueItSends();
    void untouchedFieldsGoBackAsRead();
    void editsDoNotOutliveTheWindow_data();
    void editsDoNotOutliveTheWindow();
    void activationAsksBeforeReplacingEdits();
    void noSecondSequenceNorRereading();
    void interruptedReadNeverSendsDefaults_data();
    void interruptedReadNeverSendsDefaults();
    void everyChangeOfTheTextIsAnEdit_data();
    void everyChangeOfTheTextIsAnEdit();
    void wheelChangesOnlyTheFocusedList();
    void failedSaveSaysWhatTheUnitRuns_data();
    void failedSaveSaysWhatTheUnitRuns();
    void portChangeWaitsForTheSave();
    void saveKeepsABackupFirst_data();
    void saveKeepsABackupFirst();
    void readBackNamesWhatTheUnitDidNotTake_data();
    void readBackNamesWhatTheUnitDidNotTake();
};

void TstOverview::editing() {
    GuiRig g;
    Form_Uebersicht* f = g.startOverview();
    QTest::mouseClick(f->Check_Gain[0], Qt::LeftButton);
    QVERIFY(g.data.DataChanged);
    g.data.DataChanged = false;
    f->Combo_Polarisation[5]->activated(2);
    QVERIFY(g.data.DataChanged);

    // Navigation keys are no edit; a discarded character is.
    g.data.DataChanged = false;
    FrequencyBox* box = f->Text_infrequenz[1];
    box->setFocus();
    QTest::keyClick(box, Qt::Key_Left);
    QTest::keyClick(box, Qt::Key_End);
    QTest::keyClick(box, Qt::Key_Delete);
    QVERIFY(!g.data.DataChanged);
    QTest::keyClick(box, Qt::Key_X);
    QVERIFY(g.data.DataChanged);

    FrequencyBox* in = f->Text_infrequenz[0];
    in->setFocus();
    in->setText(QStringLiteral("1200"));
    in->end(false);
    QTest::keyClick(in, Qt::Key_5);
    QCOMPARE(in->text(), QStringLiteral("1200"));  // full, caret at the end: discarded
    in->selectAll();
    QTest::keyClick(in, Qt::Key_5);
    QCOMPARE(in->text(), QStringLiteral("5"));  // the whole text selected: replaced
    QTest::keyClicks(in, QStringLiteral("a-. 9"));
    QTest::keyClick(in, Qt::Key_Backspace);
    QCOMPARE(in->text(), QStringLiteral("5"));

    // Pasted text is taken like typed text: digits only, up to the box's length.
    QGuiApplication::clipboard()->setText(QStringLiteral("1a2 3-4 5"));
    in->clear();
    QTest::keyClick(in, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(in->text(), QStringLiteral("1234"));

    // The click that brings the focus to a box selects its value, so typing replaces it.
    box = f->Text_infrequenz[6];
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(box->width() - 4, box->height() / 2));
    QTest::keyClicks(box, QStringLiteral("1300"));
    QCOMPARE(box->text(), QStringLiteral("1300"));

    // Focus to a widget outside the window (a message box, another window): no check.
    type(in, "3");
    QWidget elsewhere;
    elsewhere.setFocusPolicy(Qt::StrongFocus);
    elsewhere.show();
    elsewhere.activateWindow();
    elsewhere.setFocus();
    g.settle();
    QVERIFY(g.sim.messages.shown.isEmpty());
    QCOMPARE(in->text(), "3");
}

void TstOverview::rangeChecksOnLeaving_data() {
    QTest::addColumn<bool>("input");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<bool>("accepted");
    for (const bool input : {true, false}) {
        const QStringList typed = input ? QStringList{"950", "2150", "949", "2151", ""}
                                        : QStringList{"270", "710", "269", "711", ""};
        for (int k = 0; k < typed.size(); ++k) {
            QTest::addRow("%s %s", input ? "input" : "output", qPrintable(typed[k]))
                << input << typed[k] << (k < 2);
        }
    }
}

// The bounds are valid; outside them, or empty, the message, the text kept and the focus back.
void TstOverview::rangeChecksOnLeaving() {
    QFETCH(bool, input);
    QFETCH(QString, typed);
    QFETCH(bool, accepted);
    GuiRig g;
    // A read that stops early leaves the output boxes enabled, as before any read.
    if (!input) g.sim.model.faults().noReplyAt = 1;
    Form_Uebersicht* f = g.startOverview();
    g.sim.messages.shown.clear();
    const qint32 inBefore = g.data.unit.InFreq[2];
    FrequencyBox* box = input ? f->Text_infrequenz[2] : f->Text_outfrequenz[2];
    type(box, typed);
    leave(g, f->Check_Gain[2]);
    if (accepted) {
        QVERIFY(g.sim.messages.shown.isEmpty());
        if (input) QCOMPARE(g.data.unit.InFreq[2], typed.toInt());
        if (!input) QCOMPARE(g.data.unit.OutFreq[2], typed.toFloat());
    } else {
        QCOMPARE(g.sim.messages.texts(), QStringList{input ? InputMessage : OutputMessage});
        QCOMPARE(g.data.unit.InFreq[2], inBefore);
        QCOMPARE(box->text(), typed);  // kept as typed
        QCOMPARE(QApplication::focusWidget(), box);
    }
}

void TstOverview::saveSendsWhatTheControlsShow() {
    GuiRig g;
    Form_Uebersicht* f = g.startOverview();
    type(f->Text_infrequenz[0], QStringLiteral("2000"));
    f->Combo_Polarisation[1]->setFocus();
    QTest::keyClick(f->Combo_Polarisation[1], Qt::Key_Down);  // "SAT 2" to "SAT 3"
    QTest::mouseClick(f->Check_Gain[2], Qt::LeftButton);
    QTest::mouseClick(f->Carrier_On[10], Qt::LeftButton);
    f->Text_outfrequenz[0]->setText(QStringLiteral("999"));  // shown, never written
    QVERIFY(g.data.DataChanged);
    g.settle();

    QCOMPARE(f->Command_Save_Click(), SequenceResult::Complete);
    QVERIFY(f->Command_Save->isEnabled() && !ui::hourglassShown());
    QVERIFY(!g.data.DataChanged);
    const sim::HeadendState& stored = g.sim.model.stored();
    for (int i = 0; i < ConverterCount; ++i) {
        QCOMPARE(stored.channels[i].inFreq, f->Text_infrequenz[i]->text().toInt());
        QCOMPARE(int(stored.channels[i].polarisation), f->Combo_Polarisation[i]->currentIndex());
        QCOMPARE(int(stored.channels[i].gain), f->Check_Gain[i]->isChecked() ? 1 : 0);
        QCOMPARE(int(stored.channels[i].carrier), f->Carrier_On[i]->isChecked() ? 1 : 0);
    }
    QCOMPARE(stored.channels[0].inFreq, 2000);
    QCOMPARE(stored.channels[0].outFreq, 474.0f);

    // An edit made while a save runs is not sent, and stays to be saved.
    g.sim.pump.at(g.sim.clock.now() + 2.0,
                  [&] { QTest::mouseClick(f->Check_Gain[3], Qt::LeftButton); });
    QCOMPARE(f->Command_Save_Click(), SequenceResult::Complete);
    QCOMPARE(g.sim.model.stored().channels[3].gain, g.data.unit.Gain[3]);
    QVERIFY(g.data.DataChanged);
}

void TstOverview::saveChecksEveryValueItSends_data() {
    QTest::addColumn<QString>("way");
    for (const char* way : {"another box", "its carrier box", "emptied"})
        QTest::newRow(way) << QString::fromLatin1(way);
}

void TstOverview::saveChecksEveryValueItSends() {
    // However the focus left the box with 3000 in it (or emptied), Save sends no byte and says
    // why.
    QFETCH(QString, way);
    GuiRig g;
    Form_Uebersicht* f = g.startOverview();
    const int frames = int(g.sim.model.frames().size());
    FrequencyBox* box = f->Text_infrequenz[0];
    type(box, way == QLatin1String("emptied") ? QString() : QStringLiteral("3000"));
    const bool carrier = way == QLatin1String("its carrier box");
    if (carrier) QTest::mouseClick(f->Carrier_On[0], Qt::LeftButton);
    if (!carrier) leave(g, f->Text_infrequenz[1]);
    g.sim.messages.shown.clear();
    QTest::mouseClick(f->Command_Save, Qt::LeftButton);
    g.settle();
    QCOMPARE(g.sim.model.frames().size(), frames);  // not even a connection
    QCOMPARE(g.sim.messages.texts().size(), 1);
    QVERIFY2(g.sim.messages.texts()[0].endsWith(InputMessage.mid(7)),
             qPrintable(g.sim.messages.texts()[0]));
    // The box, or the carrier box that enables it again.
    QCOMPARE(QApplication::focusWidget(), carrier ? static_cast<QWidget*>(f->Carrier_On[0]) : box);
    QVERIFY(g.data.DataChanged);

    // Corrected, the save goes through.
    if (carrier) QTest::mouseClick(f->Carrier_On[0], Qt::LeftButton);
    type(box, QStringLiteral("2150"));
    QCOMPARE(f->Command_Save_Click(), SequenceResult::Complete);
    QCOMPARE(g.sim.model.stored().channels[0].inFreq, 2150);
}

void TstOverview::untouchedFieldsGoBackAsRead() {
    // Values no control can show: written back as the unit reported them, unless edited.
    GuiRig g;
    sim::HeadendState& s = g.sim.model.state();
    s.channels[3].carrier = 3;
    s.channels[4].gain = 255;
    s.channels[5].polarisation = 5;
    s.channels[6].inFreq = 3000;
    s.channels[7].gain = 255;
    Form_Uebersicht* f = g.startOverview();
    QCOMPARE(f->Carrier_On[3]->checkState(), Qt::PartiallyChecked);
    QCOMPARE(f->Combo_Polarisation[5]->currentIndex(), -1);
    // Passing through a box that shows the unit's value is no edit and raises no message.
    f->Text_infrequenz[6]->setFocus();
    leave(g, f->Check_Gain[6]);
    QTest::mouseClick(f->Check_Gain[7], Qt::LeftButton);  // edited: sent as shown
    type(f->Text_infrequenz[0], QStringLiteral("1200"));
    QVERIFY(g.sim.messages.shown.isEmpty());

    QCOMPARE(f->Command_Save_Click(), SequenceResult::Complete);
    const sim::HeadendState& stored = g.sim.model.stored();
    QCOMPARE(stored.channels[0].inFreq, 1200);
    QCOMPARE(int(stored.channels[3].carrier), 3);
    QCOMPARE(int(stored.channels[4].gain), 255);
    QCOMPARE(int(stored.channels[5].polarisation), 5);
    QCOMPARE(stored.channels[6].inFreq, 3000);
    QCOMPARE(int(stored.channels[7].gain), f->Check_Gain[7]->isChecked() ? 1 : 0);
}

void TstOverview::editsDoNotOutliveTheWindow_data() {
    QTest::addColumn<QString>("how");
    QTest::newRow("closed during a save") << "during save";
    QTest::newRow("a failed save, closed with Cancel") << "failed save";
}

void TstOverview::editsDoNotOutliveTheWindow() {
    // Whatever became of the edits of one window, the next one reads the unit and asks nothing.
    QFETCH(QString, how);
    GuiRig g;
    Form_Uebersicht* f = g.startOverview();
    type(f->Text_infrequenz[0], QStringLiteral("2001"));
    if (how == QLatin1String("during save")) {
        g.sim.model.faults().replyDelay = 0.05;
        g.onWrite([&](double t) { g.sim.pump.at(t + 2.0, [&] { f->parentWidget()->close(); }); });
        QCOMPARE(f->Command_Save_Click(), SequenceResult::Failed);
        g.sim.model.faults().replyDelay = 0;
        // The window has gone: the status bar says what the unit runs.
        QVERIFY2(g.main->notice().startsWith(QStringLiteral("Save stopped: plan not stored")),
                 qPrintable(g.main->notice()));
    } else if (how == QLatin1String("failed save")) {
        // OK to "Save Settings?" with no answer from the unit: the window stays with its
        // edits; Cancel then closes it.
        g.sim.model.faults().noReplyAt = 3;
        g.sim.messages.answer = MessageResult::Ok;
        f->parentWidget()->close();
        g.settle();
        QVERIFY(g.main->overview() && g.data.DataChanged && !ui::hourglassShown());
        QCOMPARE(f->Text_infrequenz[0]->text(), QStringLiteral("2001"));
        g.sim.model.faults().noReplyAt = 0;
    }
    g.sim.messages.answer = MessageResult::Cancel;
    if (g.main->overview()) f->parentWidget()->close();
    g.settle();
    QVERIFY(!g.main->overview());
    g.sim.messages.shown.clear();
    const int connections = g.sim.model.connectRequests();

    f = g.openOverview();
    QVERIFY(g.sim.messages.shown.isEmpty());
    QCOMPARE(g.sim.model.connectRequests(), connections + 1);
    QCOMPARE(f->Text_infrequenz[0]->text(),
             QString::number(g.sim.model.state().channels[0].inFreq));
    QVERIFY(!g.data.DataChanged);
    QCOMPARE(g.sim.model.stored().channels[0].inFreq, 1010);  // never stored
    f->parentWidget()->close();                               // no edits: no question
    g.settle();
    QVERIFY(!g.main->overview() && g.sim.messages.shown.isEmpty());
}

void TstOverview::activationAsksBeforeReplacingEdits() {
    // OK to the question saves the edits, then the unit is read again.
    GuiRig g;
    Form_Uebersicht* f = g.startOverview();
    type(f->Text_infrequenz[0], QStringLiteral("2001"));
    g.sim.messages.answer = MessageResult::Ok;
    reactivate(g, f);

    QCOMPARE(g.sim.messages.texts(), QStringList{SaveQuestion});
    QCOMPARE(g.sim.model.stores(), 1);
    // First read; the save's backup read, write and read-back; the new read.
    QCOMPARE(g.sim.model.connectRequests(), 5);
    QCOMPARE(g.sim.model.state().channels[0].inFreq, 2001);
    QVERIFY(!g.data.DataChanged);
    // Closed with edits, OK: saved, then closed.
    type(f->Text_infrequenz[0], "1200");
    f->parentWidget()->close();
    g.settle();
    QCOMPARE(g.sim.messages.texts(), (QStringList{SaveQuestion, SaveQuestion}));
    QVERIFY(g.sim.model.stores() == 2 && !g.main->overview());
}

// While the first read runs: no second sequence, no box, no re-reading; closing stops a read.
void TstOverview::noSecondSequenceNorRereading() {
    GuiRig g;
    g.sim.model.faults().replyDelay = 0.05;
    g.start();
    QList<bool> saveEnabled;
    QString notice;
    g.sim.pump.at(1.0, [&] {
        Form_Uebersicht* f = g.main->overview();
        saveEnabled << f->Command_Save->isEnabled();
        f->Form_Activate();                                         // a second activation: nothing
        QCOMPARE(f->Command_Save_Click(), SequenceResult::Failed);  // nor a save
        // A value refused now is said in the status bar at once; its box opens once the read
        // has ended, not inside it (the rig fails a box that would).
        type(f->Text_infrequenz[11], "3000");
        leave(g, f->Check_Gain[11]);
        notice = g.main->notice();
    });
    Form_Uebersicht* f = g.openOverview();
    QCOMPARE(saveEnabled, QList<bool>{false});
    QCOMPARE(notice, InputMessage.mid(7));
    QCOMPARE(g.sim.messages.texts(), QStringList{InputMessage});
    QCOMPARE(f->Label_Typ->text(), "MC 1200");  // the read went on to the end
    QVERIFY(f->Command_Save->isEnabled() && !g.main->Program->isEnabled());
    for (int i = 0; i < ConverterCount; ++i)
        QCOMPARE(f->Text_infrequenz[i]->isEnabled(), g.sim.model.state().channels[i].carrier != 0);
    // Qt reports the same child again when the main window comes back from elsewhere: no read.
    QMdiSubWindow* sub = g.main->mdiArea()->activeSubWindow();
    for (QMdiSubWindow* w : {sub, static_cast<QMdiSubWindow*>(nullptr), sub})
        Q_EMIT g.main->mdiArea()->subWindowActivated(w);
    g.settle();
    QCOMPARE(g.sim.model.connectRequests(), 1);

    // Closed during a read: the read stops there, after it the window goes. (The refused
    // value above is let go, so the new read asks nothing.)
    g.sim.messages.shown.clear();
    g.data.DataChanged = false;
    double closedAt = 0;
    g.sim.pump.at(g.sim.clock.now() + 2.0, [&] {
        closedAt = g.sim.clock.now();
        f->parentWidget()->close();
        QVERIFY(g.main->overview());  // not under the running read
    });
    reactivate(g, f);
    g.settle();
    QVERIFY(!g.main->overview() && g.main->Program->isEnabled() && !ui::hourglassShown());
    QVERIFY(g.sim.messages.shown.isEmpty());
    QVERIFY(g.sim.wire.lastSent() <= closedAt && closedAt > 0);
}

// A read that stops at converter 4 (command 26; the unit falls silent): converters 4 to 12
// keep what the last read that reached them found, and Save sends that. Where no read has
// reached them, Save sends nothing until the user has set every field of them.
void TstOverview::interruptedReadNeverSendsDefaults_data() {
    QTest::addColumn<bool>("readBefore");
    QTest::newRow("re-read") << true;
    QTest::newRow("first read") << false;
}

void TstOverview::interruptedReadNeverSendsDefaults() {
    QFETCH(bool, readBefore);
    GuiRig g;
    const sim::HeadendState unit = g.sim.model.state();
    g.sim.model.faults().noReplyAt = readBefore ? 0 : 26;
    Form_Uebersicht* f = g.startOverview();
    g.sim.model.faults().noReplyAt = 26;
    if (readBefore) reactivate(g, f);
    QCOMPARE(g.sim.messages.texts(), QStringList{"Connect Error: Connection aborted!"});
    g.sim.messages.shown.clear();
    g.sim.model.faults().noReplyAt = 0;
    for (int i = 3; i < ConverterCount && readBefore; ++i)
        QCOMPARE(f->Combo_Polarisation[i]->currentIndex(), int(unit.channels[i].polarisation));
    if (!readBefore) {
        QCOMPARE(f->Command_Save_Click(), SequenceResult::Refused);
        QCOMPARE(g.sim.messages.texts(), QStringList{"Error: Converter 4 to 12 were not read from "
                                                     "the unit: read again before saving"});
        QCOMPARE(g.sim.model.stores(), 0);
        for (int i = 3; i < ConverterCount; ++i) {  // every field set by the user
            QTest::mouseClick(f->Carrier_On[i], Qt::LeftButton);
            f->Combo_Polarisation[i]->setFocus();
            QTest::keyClick(f->Combo_Polarisation[i], Qt::Key_Down);
            type(f->Text_infrequenz[i], QString::number(1100 + i));
            QTest::mouseClick(f->Check_Gain[i], Qt::LeftButton);
        }
        g.settle();
    }
    QCOMPARE(f->Command_Save_Click(), SequenceResult::Complete);
    for (int i = 0; i < ConverterCount; ++i) {
        const sim::SimChannel& c = g.sim.model.stored().channels[i];
        const sim::SimChannel& u = unit.channels[i];
        const bool user = !readBefore && i >= 3;
        const QList<int> expected = user ? QList<int>{1, 1100 + i, 1, 1}
                                         : QList<int>{u.polarisation, u.inFreq, u.carrier, u.gain};
        QCOMPARE((QList<int>{c.polarisation, c.inFreq, c.carrier, c.gain}), expected);
    }
}

// However the user changes a box's text, the change is an edit that Save sends and checks:
// "1960" read from the unit becomes "960", then "60".
void TstOverview::everyChangeOfTheTextIsAnEdit_data() {
    QTest::addColumn<QStringList>("menu");  // after Home and Delete, or on the first digit
    QTest::newRow("Delete key") << QStringList();
    QTest::newRow("context menu Delete") << QStringList{"Delete"};
    QTest::newRow("context menu Cut") << QStringList{"Cut"};
    QTest::newRow("undo and redo from the context menu") << QStringList{"Undo", "Redo"};
}

void TstOverview::everyChangeOfTheTextIsAnEdit() {
    QFETCH(QStringList, menu);
    GuiRig g;
    g.sim.model.state().channels[0].inFreq = 1960;
    Form_Uebersicht* f = g.startOverview();
    FrequencyBox* box = f->Text_infrequenz[0];
    box->setFocus();
    box->setSelection(0, 1);
    if (menu.isEmpty() || menu[0] == QLatin1String("Undo")) QTest::keyClick(box, Qt::Key_Delete);
    for (const QString& entry : menu)
        contextMenu(box, entry);
    QCOMPARE(box->text(), QStringLiteral("960"));
    QCOMPARE(f->Command_Save_Click(), SequenceResult::Complete);
    QCOMPARE(g.sim.model.stored().channels[0].inFreq, 960);
    box->setFocus();
    box->home(false);
    QTest::keyClick(box, Qt::Key_Delete);
    QCOMPARE(f->Command_Save_Click(), SequenceResult::Refused);
    QCOMPARE(g.sim.messages.texts(), QStringList{InputMessage});
    QCOMPARE(g.sim.model.stores(), 1);
}

// In a window smaller than the overview, as a window manager may make it on a laptop, the
// overview scrolls, Converter 12's output too. Scrolling the window over a SAT list that has
// not the focus scrolls the window; the list changes only with the focus.
void TstOverview::wheelChangesOnlyTheFocusedList() {
    GuiRig g;
    Form_Uebersicht* f = g.startOverview();
    g.main->setWindowState(Qt::WindowNoState);
    g.main->resize(700, 450);
    g.settle();
    QMdiArea* mdi = g.main->mdiArea();
    mdi->horizontalScrollBar()->setValue(mdi->horizontalScrollBar()->maximum());
    mdi->verticalScrollBar()->setValue(mdi->verticalScrollBar()->maximum());
    g.settle();
    const QWidget* output = f->Frame_Output[11];
    QVERIFY(mdi->viewport()->rect().contains(
        QRect(output->mapTo(mdi->viewport(), QPoint(0, 0)), output->size())));
    mdi->verticalScrollBar()->setValue(0);
    QComboBox* list = f->Combo_Polarisation[6];
    auto wheel = [&] {
        const QPoint at(list->width() / 2, list->height() / 2);
        QWheelEvent e(at, list->mapToGlobal(at), QPoint(), QPoint(0, -120), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
        // As the window system delivers it: what the list does not take goes to its parents.
        QSpontaneKeyEvent::setSpontaneous(&e);
        qApp->notify(list, &e);
    };
    f->Text_infrequenz[0]->setFocus();
    wheel();
    QCOMPARE(list->currentIndex(), 2);
    QVERIFY(!g.data.DataChanged && mdi->verticalScrollBar()->value() > 0);
    list->setFocus();
    wheel();
    QCOMPARE(list->currentIndex(), 3);
    QVERIFY(g.data.DataChanged);
}

// The unit stops answering during a Save: after the link's message the window says what the
// unit runs now, in the command line's words.
void TstOverview::failedSaveSaysWhatTheUnitRuns_data() {
    QTest::addColumn<int>("silentAt");  // command of the Save's connection left unanswered
    QTest::addColumn<QString>("said");
    QTest::addColumn<bool>("unsaved");
    QTest::newRow("at converter 6")
        << 6 * 5 + 1
        << "Meridan Converter: Save did not complete: plan not stored: the unit runs converters "
           "1-5 changed, converter 6 possibly in part, 7-12 as before; after a power cycle it "
           "returns to its stored settings; the backup is BACKUP."
        << true;
    QTest::newRow("after the store")
        << 6 * 12 + 2
        << "Meridan Converter: The unit has stored the settings (plan stored); only the end of "
           "the communication failed."
        << false;
}

void TstOverview::failedSaveSaysWhatTheUnitRuns() {
    QFETCH(int, silentAt);
    QFETCH(QString, said);
    QFETCH(bool, unsaved);
    GuiRig g;
    Form_Uebersicht* f = g.startOverview();
    type(f->Text_infrequenz[0], QStringLiteral("1300"));
    g.settle();
    g.onWrite([&](double) { g.sim.model.faults().noReplyAt = silentAt; });
    QCOMPARE(f->Command_Save_Click(), SequenceResult::Failed);
    // Where a converter may have changed, the message names the backup taken before.
    const QStringList backups = QDir(g.backupFolder()).entryList({"*.json"});
    QCOMPARE(backups.size(), 1);
    said.replace("BACKUP", QDir(g.backupFolder()).filePath(backups[0]));
    QCOMPARE(g.sim.messages.texts(), (QStringList{"Connect Error: Connection aborted!", said}));
    QCOMPARE(g.sim.model.stores(), unsaved ? 0 : 1);
    QCOMPARE(g.data.DataChanged, unsaved);
}

// A port chosen while a Save runs changes nothing: the Save goes on to the end, on its port.
// Closing the program does not cut a Save short either.
void TstOverview::portChangeWaitsForTheSave() {
    GuiRig g;
    g.sim.port.setAvailablePorts({1, 2});
    Form_Uebersicht* f = g.startOverview();
    g.data.DataChanged = true;
    g.sim.model.faults().replyDelay = 0.05;
    g.sim.pump.at(g.sim.clock.now() + 2.0, [&] { g.main->com[2]->trigger(); });
    QCOMPARE(f->Command_Save_Click(), SequenceResult::Complete);
    QVERIFY(g.main->checkedPort() == 1 && !g.main->com[2]->isChecked());
    QCOMPARE(g.main->notice(), QStringLiteral("A Save is running on Com1: the port can be "
                                              "changed once it has ended."));

    // The program closed during a Save waits for it to unwind, then ends without a question.
    g.data.DataChanged = true;
    bool closed = false;
    g.sim.pump.at(g.sim.clock.now() + 2.0, [&] { closed = g.main->close(); });
    QCOMPARE(f->Command_Save_Click(), SequenceResult::Failed);
    QVERIFY(!closed);
    g.settle();
    QVERIFY(!g.main->isVisible() && !g.sim.port.isOpen());
    QCOMPARE(g.sim.model.stores(), 1);        // the first Save's
    QVERIFY(g.sim.messages.shown.isEmpty());  // no question, no time-out message
}

void TstOverview::saveKeepsABackupFirst_data() {
    QTest::addColumn<QString>("fault");
    QTest::newRow("backup kept") << QString();
    QTest::newRow("no folder") << "Not saved: no backup can be kept";
    QTest::newRow("disk full") << "Not saved: the backup could not be kept";
}

// What the unit holds when the Save begins is kept as a backup before the first set command;
// a backup that cannot be kept stops the Save before it, and the edits stay.
void TstOverview::saveKeepsABackupFirst() {
    QFETCH(QString, fault);
    GuiRig g;
    Form_Uebersicht* f = g.startOverview();
    type(f->Text_infrequenz[2], QStringLiteral("1300"));
    g.sim.model.state().channels[5].inFreq = 2000;  // changed since the window read the unit
    const sim::HeadendState before = g.sim.model.state();
    if (fault.contains("no backup")) {  // a file where the folder should be
        QFile file(g.backupFolder());
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    std::optional<FileSizeLimit> full;  // no room for a backup of 3 KiB
    if (fault.contains("could not")) full.emplace(1000);
    std::optional<QStringList> atWrite;
    g.onWrite([&](double) { atWrite = QDir(g.backupFolder()).entryList({"*.json"}); });
    const SequenceResult result = f->Command_Save_Click();
    full.reset();
    if (!fault.isEmpty()) {
        QVERIFY(result != SequenceResult::Complete && !atWrite);
        for (int i = 0; i < ConverterCount; ++i)
            QCOMPARE(g.sim.model.state().channels[i].inFreq, before.channels[i].inFreq);
        QCOMPARE(g.sim.model.stores(), 0);
        QVERIFY2(f->Label_SaveStatus->text().startsWith(fault),
                 qPrintable(f->Label_SaveStatus->text()));
        QCOMPARE(g.sim.messages.texts().size(), 1);
        QVERIFY(g.sim.messages.texts()[0].contains(fault.contains("no backup") ? g.backupFolder()
                                                                               : "File too large"));
        QVERIFY(g.data.DataChanged && f->mark(2, ChannelField::InFreq)->marked());
        return;
    }
    QCOMPARE(result, SequenceResult::Complete);
    QVERIFY(atWrite && atWrite->size() == 1);
    const auto loaded = plan::loadPlanFile(QDir(g.backupFolder()).filePath(atWrite->at(0)));
    const auto* backup = std::get_if<plan::Profile>(&loaded);
    QVERIFY(backup && backup->fromUnit);
    for (int i = 0; i < ConverterCount; ++i) {
        const ChannelSetting& b = backup->settings[i];
        const sim::SimChannel& c = before.channels[i];
        QCOMPARE((QList<int>{b.carrier, b.polarisation, b.inFreq, b.gain}),
                 (QList<int>{c.carrier, c.polarisation, c.inFreq, c.gain}));
    }
    QVERIFY(f->Label_SaveStatus->text().endsWith(QStringLiteral("Backup: ") + atWrite->at(0)));
}

void TstOverview::readBackNamesWhatTheUnitDidNotTake_data() {
    QTest::addColumn<bool>("verify");
    QTest::newRow("Verify after Save") << true;
    QTest::newRow("Verify after Save off") << false;
}

// Converter 7 answers its set commands but keeps its settings: the read-back after the store
// names exactly its two fields, marks them and keeps them to be sent again; the lock states
// and output frequencies shown are the read-back's.
void TstOverview::readBackNamesWhatTheUnitDidNotTake() {
    QFETCH(bool, verify);
    GuiRig g;
    g.sim.model.faults().frozenConverter = 6;
    Form_Uebersicht* f = g.startOverview();
    g.data.VerifyAfterSave = verify;
    type(f->Text_infrequenz[6], QStringLiteral("1300"));
    type(f->Text_infrequenz[1], QStringLiteral("1250"));
    QTest::mouseClick(f->Check_Gain[6], Qt::LeftButton);
    QVERIFY(f->mark(1, ChannelField::InFreq)->marked() &&
            !f->mark(0, ChannelField::InFreq)->marked());
    g.onCommand(33, [&](double) {
        g.sim.model.state().channels[0].outFreq = 480;
        g.sim.model.state().channels[0].inputLock = 0;
    });
    const int connections = g.sim.model.connectRequests();
    QCOMPARE(f->Command_Save_Click(), SequenceResult::Complete);
    // The backup read, the write and, when verifying, the read-back.
    QCOMPARE(g.sim.model.connectRequests(), connections + (verify ? 3 : 2));
    QStringList lines = f->Label_SaveStatus->text().split('\n');
    QVERIFY(QRegularExpression("^Saved \\d\\d:\\d\\d:\\d\\d").match(lines[0]).hasMatch());
    if (!verify) {
        QCOMPARE(lines[0].mid(14), QStringLiteral("; not read back"));
        QVERIFY(!f->mark(6, ChannelField::InFreq)->marked() && !g.data.DataChanged);
        return;
    }
    QCOMPARE(lines.mid(0, 3), (QStringList{lines[0].left(14) + "; the unit did not take 2 fields:",
                                           "Converter 7: input 1362 MHz on unit, 1300 MHz sent",
                                           "Converter 7: gain OFF on unit, ON sent"}));
    for (const auto& [i, field, marked] : {std::tuple{6, ChannelField::InFreq, true},
                                           {6, ChannelField::Gain, true},
                                           {1, ChannelField::InFreq, false}}) {
        QCOMPARE(f->mark(i, field)->marked(), marked);
        if (marked) QCOMPARE(f->mark(i, field)->colour(), QColor(210, 0, 0));
    }
    QCOMPARE(f->Text_outfrequenz[0]->text() + f->Label_Status_In[0]->text(),
             QStringLiteral("480Unlocked"));
    QVERIFY(g.data.DataChanged);
    // Once the converter takes them, the next Save sends them again and is verified.
    g.sim.model.faults().frozenConverter = -1;
    QCOMPARE(f->Command_Save_Click(), SequenceResult::Complete);
    QVERIFY(f->Label_SaveStatus->text().startsWith("Saved and verified"));
    QCOMPARE(g.sim.model.stored().channels[6].inFreq, 1300);
    QVERIFY(!f->mark(6, ChannelField::InFreq)->marked() && !g.data.DataChanged);
}

QTEST_MAIN(TstOverview)
#include "tst_overview.moc"
