// The expert password dialog on the offscreen platform.
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include "expert/frmlogin.h"
#include "support/rig.h"

using namespace meridan;
using namespace meridan::test;

namespace {
const QString InvalidBox = QStringLiteral("Expert Password: Invalid Password. Please try again!");

// Opens the dialog as the update window does and, once it runs, types `typed` into whatever has
// the focus and presses `key` there. Returns what exec() returned, -1 if the dialog stayed open.
int runModal(frmLogin& dlg, const QString& typed, Qt::Key key) {
    QTimer::singleShot(0, &dlg, [&] {
        QWidget* focus = dlg.focusWidget();
        if (!focus) return;
        QTest::keyClicks(focus, typed);
        QTest::keyClick(focus, key);
    });
    QTimer::singleShot(2000, &dlg, [&] { dlg.done(-1); });
    return dlg.exec();
}
}  // namespace

class TstLogin : public QObject {
    Q_OBJECT
  private Q_SLOTS:
    void onlyTheExactPasswordOpens_data();
    void onlyTheExactPasswordOpens();
    void enterIsOkAndEscIsCancel();
};

void TstLogin::onlyTheExactPasswordOpens_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("the password") << QStringLiteral("41986") << true;
    QTest::newRow("trailing space") << QStringLiteral("41986 ") << false;
    QTest::newRow("empty") << QString() << false;
    QTest::newRow("prefix") << QStringLiteral("4198") << false;
}

void TstLogin::onlyTheExactPasswordOpens() {
    QFETCH(QString, typed);
    QFETCH(bool, accepted);
    RecordingMessages messages;
    frmLogin dlg(messages);
    dlg.show();
    QTest::keyClicks(dlg.txtPassword, typed);
    QCOMPARE(dlg.txtPassword->displayText(), QString(typed.size(), QLatin1Char('*')));
    QTest::mouseClick(dlg.cmdOK, Qt::LeftButton);

    // A wrong password does not clear an acceptance from earlier in the run.
    QVERIFY(dlg.passwordAccepted(true));
    QCOMPARE(dlg.passwordAccepted(false), accepted);
    QCOMPARE(dlg.isVisible(), !accepted);
    if (accepted) {
        QCOMPARE(dlg.result(), int(QDialog::Accepted));
        QVERIFY(messages.shown.isEmpty());
        return;
    }
    QCOMPARE(messages.texts(), QStringList{InvalidBox});
    QCOMPARE(dlg.txtPassword->text(), typed);
    QCOMPARE(dlg.focusWidget(), dlg.txtPassword);
}

void TstLogin::enterIsOkAndEscIsCancel() {
    RecordingMessages messages;
    {
        // A wrong password and Enter, then the right one and Enter: no lock-out.
        frmLogin dlg(messages);
        QTimer::singleShot(0, &dlg, [&] {
            QTest::keyClicks(dlg.txtPassword, QStringLiteral("12345"));
            QTest::keyClick(dlg.txtPassword, Qt::Key_Return);
            dlg.txtPassword->clear();
        });
        QCOMPARE(runModal(dlg, QStringLiteral("41986"), Qt::Key_Enter), int(QDialog::Accepted));
        QCOMPARE(messages.texts(), QStringList{InvalidBox});
        QCOMPARE(dlg.answer(), frmLogin::Answer::Password);
    }
    // After the password was accepted once, Cancel (Esc) takes it back; closing the window
    // does not.
    frmLogin dlg(messages);
    QCOMPARE(runModal(dlg, QStringLiteral("41986"), Qt::Key_Escape), int(QDialog::Rejected));
    QCOMPARE(dlg.answer(), frmLogin::Answer::Cancel);
    QCOMPARE(messages.shown.size(), 1);
    QVERIFY(!dlg.passwordAccepted(true));
    frmLogin closed(messages);
    closed.show();
    QVERIFY(closed.txtPassword->text().isEmpty());
    QTest::keyClicks(closed.txtPassword, "41986");
    QVERIFY(closed.close());
    QCOMPARE(closed.result(), int(QDialog::Rejected));
    QVERIFY(closed.passwordAccepted(true));
}

QTEST_MAIN(TstLogin)
#include "tst_login.moc"
