#include <QtTest>
class TstLogin : public QObject {
    Q_OBJECT
};
QTEST_MAIN(TstLogin)
#include "tst_login.moc"
