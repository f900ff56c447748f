// The lock history of the Diagnostic rows: what is kept, and what the strip shows.
#include <QtTest>

#include "uisupport/lockstrip.h"

using namespace meridan::ui;

class TstLockStrip : public QObject {
    Q_OBJECT
  private Q_SLOTS:
    void historyKeepsTheLastMinute();
    void stripShowsEveryState();
};

void TstLockStrip::historyKeepsTheLastMinute() {
    LockHistory h(60);
    QVERIFY(h.segments(5).size() == 1 && h.segments(5)[0].state == LockSample::Stale);
    // 300 reads a second for two minutes, the lock lost once for 3 ms at 100 s.
    for (int k = 0; k <= 300 * 120; ++k) {
        const double t = k / 300.0;
        h.add(t, t >= 100 && t < 100.003 ? LockSample::Unlocked : LockSample::Locked);
    }
    const auto s = h.segments(120);
    QCOMPARE(int(s.size()), 3);
    QCOMPARE(s[0].from, 60.0);
    QCOMPARE(s[0].state, LockSample::Locked);
    QCOMPARE(s[1].state, LockSample::Unlocked);
    QVERIFY(s[1].from >= 100 && s[1].to <= 100.004 && s[1].to > s[1].from);
    QCOMPARE(s[2].to, 120.0);
    // Nothing read since: the last state lasts until now, then the strip goes stale once the
    // monitor says so.
    h.add(125, LockSample::Stale);
    const auto later = h.segments(130);
    QCOMPARE(later.back().state, LockSample::Stale);
    QCOMPARE(later.back().from, 125.0);
    QCOMPARE(later.front().from, 70.0);
}

void TstLockStrip::stripShowsEveryState() {
    LockHistory h(60);
    h.add(30, LockSample::Locked);
    h.add(45, LockSample::Unlocked);
    h.add(45.001, LockSample::Locked);
    h.add(50, LockSample::Unknown);
    LockStrip strip;
    strip.setHistory(&h);
    strip.resize(122, 10);  // 2 pixels a second inside a 1-pixel frame
    strip.showAt(60);
    const QImage image = strip.grab().toImage();
    auto at = [&](double t) { return image.pixelColor(int((t - 0) * 2) + 1, 5); };
    QCOMPARE(at(10), LockStrip::colour(LockSample::Stale));
    QCOMPARE(at(35), LockStrip::colour(LockSample::Locked));
    // A loss of lock of a millisecond is still a pixel wide.
    QCOMPARE(at(45), LockStrip::colour(LockSample::Unlocked));
    QCOMPARE(at(47), LockStrip::colour(LockSample::Locked));
    QCOMPARE(at(55), LockStrip::colour(LockSample::Unknown));
}

QTEST_MAIN(TstLockStrip)
#include "tst_lockstrip.moc"
