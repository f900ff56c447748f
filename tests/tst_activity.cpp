#include <QtTest>
class TstActivity : public QObject {
    Q_OBJECT
};
QTEST_MAIN(TstActivity)
#include "tst_activity.moc"
