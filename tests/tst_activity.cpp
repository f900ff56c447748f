// The activity indicator: the symbol's geometry in pixels of actBuf and when
// it repaints.
#include <QSignalSpy>
#include <QtTest>

#include "uisupport/activityind.h"

using namespace meridan::ui;

namespace {

const QColor ButtonFace(0x20, 0xB0, 0xA0);  // the parent window's palette
const QColor WindowBase(1, 2, 3);
constexpr quint32 Fore = 0x2080F0;  // 0x00BBGGRR
const QColor ForeRgb(0xF0, 0x80, 0x20);

// An indicator inside a window with its own button face and window colours.
struct Rig {
    QWidget window;
    ActivityInd* ind = new ActivityInd(&window);
    explicit Rig(int width = 100, int height = 100) {
        QPalette pal = window.palette();
        pal.setColor(QPalette::Button, ButtonFace);
        pal.setColor(QPalette::Base, WindowBase);
        window.setPalette(pal);
        ind->resize(width, height);
    }
    const QImage& frame(int style, int step) {
        ind->setStyle(style);
        ind->setStep(step);
        ind->renderFrame();
        return ind->actBuf();
    }
};

// Smallest rectangle holding every pixel that differs from the background.
QRect symbolBounds(const QImage& img, QColor background) {
    QRect bounds;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            if (img.pixelColor(x, y) != background) bounds |= QRect(x, y, 1, 1);
    return bounds;
}

}  // namespace

class TstActivity : public QObject {
    Q_OBJECT
  private Q_SLOTS:
    void radius_data() {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<float>("radius");
        QTest::newRow("38 square: whole 18 less 1") << QSize(38, 38) << 17.f;
        QTest::newRow("31 square: 14.5 less 1") << QSize(31, 31) << 13.5f;
        QTest::newRow("5 square: the smallest symbol") << QSize(5, 5) << 1.5f;
        QTest::newRow("4 square: no room") << QSize(4, 4) << 0.f;
    }
    void radius() {
        QFETCH(QSize, size);
        QTEST(ActivityInd::radiusFor(size.width(), size.height()), "radius");
    }

    void symbol_data() {
        QTest::addColumn<int>("style");
        QTest::addColumn<int>("step");
        QTest::addColumn<QPoint>("at");
        QTest::addColumn<QColor>("colour");
        const QColor black(Qt::black), back = ButtonFace, fore = ForeRgb;
        // 100 x 100: centre (50, 50), radius 48.
        const auto row = [](const char* name, int style, int step, QPoint at, QColor c) {
            QTest::newRow(name) << style << step << at << c;
        };
        row("disc 0: black half right", 0, 0, {80, 50}, black);
        row("hand 25: hand to three o'clock", 1, 25, {80, 50}, black);
        row("needle 25: right", 2, 25, {70, 50}, fore);
        row("ring 0: gap", 3, 0, {77, 34}, back);
        row("ring 0: arrow head", 3, 0, {56, 18}, fore);
        row("ring 25: gap", 3, 25, {65, 77}, back);
    }
    void symbol() {
        QFETCH(int, style);
        QFETCH(int, step);
        QFETCH(QPoint, at);
        Rig rig;
        rig.ind->setForeColor(Fore);
        QTEST(rig.frame(style, step).pixelColor(at), "colour");
    }

    void symbolCentredInWiderDimension_data() {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QRect>("bounds");
        QTest::newRow("wide") << QSize(140, 100) << QRect(QPoint(22, 2), QPoint(118, 98));
        QTest::newRow("tall") << QSize(100, 140) << QRect(QPoint(2, 22), QPoint(98, 118));
    }
    void symbolCentredInWiderDimension() {
        QFETCH(QSize, size);
        Rig rig(size.width(), size.height());
        QTEST(symbolBounds(rig.frame(0, 0), ButtonFace), "bounds");
    }

    // Only the background: an unknown style, or no room for the symbol; in any colour.
    void backgroundOnly_data() {
        QTest::addColumn<int>("style");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<quint32>("colour");
        QTest::addColumn<QColor>("shown");
        QTest::newRow("style 7, red") << 7 << QSize(40, 40) << 0x0000FFu << QColor(Qt::red);
        QTest::newRow("4 wide, window") << 0 << QSize(4, 30) << 0x80000005u << WindowBase;
    }
    void backgroundOnly() {
        QFETCH(int, style);
        QFETCH(QSize, size);
        QFETCH(quint32, colour);
        QFETCH(QColor, shown);
        Rig rig(size.width(), size.height());
        rig.ind->setBackColor(colour);
        const QImage& img = rig.frame(style, 30);
        QCOMPARE(img.size(), size);
        QCOMPARE(img.pixelColor(0, 0), shown);
        QCOMPARE(symbolBounds(img, shown), QRect());
    }

    void stepIsLimitedAndWraps() {
        Rig rig(38, 38);
        rig.ind->setStep(-5);
        QCOMPARE(rig.ind->Step(), 0);
        rig.ind->setStep(250);
        QCOMPARE(rig.ind->Step(), 100);
        for (int style = 0; style < 4; ++style) {
            const QImage full = rig.frame(style, 100);
            QVERIFY(full != rig.frame(style, 10));
            QCOMPARE(rig.frame(style, 0), full);
        }
    }

    void repaintsOnlyOnChange() {
        Rig rig(38, 38);
        rig.window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&rig.window));
        QCoreApplication::processEvents();
        QSignalSpy changed(rig.ind, &ActivityInd::propertyChanged);
        const int frames = rig.ind->framesDrawn();
        rig.ind->setStep(0);
        rig.ind->setStep(-5);
        QCoreApplication::processEvents();
        QCOMPARE(rig.ind->framesDrawn(), frames);
        rig.ind->setStep(10);
        QCOMPARE(rig.ind->framesDrawn(), frames + 1);
        rig.ind->setStyle(0);
        rig.ind->setForeColor(rig.ind->ForeColor());
        rig.ind->setBackColor(rig.ind->BackColor());
        QCOMPARE(rig.ind->framesDrawn(), frames + 4);
        QCOMPARE(rig.ind->grab().toImage().convertToFormat(QImage::Format_RGB32),
                 rig.ind->actBuf());
        QStringList names;
        for (const auto& args : changed)
            names << args.at(0).toString();
        QCOMPARE(names, QStringList({"Step", "Step", "Step", "Style", "ForeColor", "BackColor"}));
    }
};

QTEST_MAIN(TstActivity)
#include "tst_activity.moc"
