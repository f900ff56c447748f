#include <QtTest>
class TstResize : public QObject {
    Q_OBJECT
};
QTEST_MAIN(TstResize)
#include "tst_resize.moc"
