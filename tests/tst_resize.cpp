// The proportional resize engine over fake controls, and its Qt widget adapter.
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QtTest>
#include <map>
#include <set>

#include "uisupport/clsresize.h"
#include "uisupport/qtresize.h"
#include "uisupport/twips.h"

using namespace meridan::ui;
using P = ControlProperty;

namespace {

constexpr double RefW = 15450;
constexpr double RefH = 11205;

// A control with the properties it is given: one it lacks answers "no such property", one in
// `refused` rejects every new value, one in `unreadable` cannot be read.
class FakeControl final : public ResizeControl {
  public:
    FakeControl(QString name, std::optional<int> index, ControlKind kind)
        : name_(std::move(name)), index_(index), kind_(kind) {}
    QString name() const override { return name_; }
    std::optional<int> index() const override { return index_; }
    ControlKind kind() const override { return kind_; }
    PropError get(ControlProperty p, double& v) const override {
        if (!values.count(p)) return PropError::NoSuchProperty;
        if (unreadable.count(p)) return PropError::Refused;
        v = values.at(p);
        return PropError::None;
    }
    PropError set(ControlProperty p, double v) override {
        if (!values.count(p)) return PropError::NoSuchProperty;
        if (refused.count(p)) return PropError::Refused;
        values[p] = v;
        ++writes;
        return PropError::None;
    }
    PropError move(double left, double top, double width, double height) override {
        values[P::Left] = left, values[P::Top] = top;
        values[P::Width] = width, values[P::Height] = height;
        ++writes, ++moves;
        return PropError::None;
    }
    double operator[](ControlProperty p) const { return values.count(p) ? values.at(p) : -1; }
    QRectF edges() const {
        return {values.at(P::Left), values.at(P::Top), (*this)[P::Width], (*this)[P::Height]};
    }
    // Moves every value the control accepts elsewhere, so a layout must come from the records.
    void scramble() {
        for (auto& [p, v] : values)
            if (!refused.count(p)) v = 1;
    }

    std::map<ControlProperty, double> values;
    std::set<ControlProperty> refused, unreadable;
    int writes = 0, moves = 0;

  private:
    QString name_;
    std::optional<int> index_;
    ControlKind kind_;
};

class FakeForm final : public ResizeForm {
  public:
    PropError width(double& v) const override { return v = w, PropError::None; }
    PropError height(double& v) const override { return v = h, PropError::None; }
    PropError setWidth(double v) override { return w = v, PropError::None; }
    PropError setHeight(double v) override { return h = v, PropError::None; }
    std::vector<std::shared_ptr<ResizeControl>> controls() override {
        return {list.begin(), list.end()};
    }
    double w = RefW, h = RefH;
    std::vector<std::shared_ptr<FakeControl>> list;
};

struct Rig {
    Rig() { engine.oForm(form); }
    std::shared_ptr<FakeControl> box(const QString& name, std::optional<int> index, QRectF r,
                                     double font = 8.25, ControlKind kind = ControlKind::Other) {
        auto c = std::make_shared<FakeControl>(name, index, kind);
        c->values = {{P::Fontsize, font}, {P::Font_Size, font},  {P::Left, r.x()},
                     {P::Top, r.y()},     {P::Width, r.width()}, {P::Height, r.height()}};
        form->list.push_back(c);
        return c;
    }
    void resizeTo(double w, double h) {
        form->w = w, form->h = h;
        engine.DoResize();
    }
    std::shared_ptr<FakeForm> form = std::make_shared<FakeForm>();
    clsResize engine;
};

}  // namespace

class TstResize : public QObject {
    Q_OBJECT
  private Q_SLOTS:
    void layout();
    void recordsAreTakenOnce();
    void fontSources_data();
    void fontSources();
    void qtWindow();
};

// 1.5 x as wide, 0.8 x as high: fonts follow the smaller factor (the Qt window below has the
// width's factor the smaller).
void TstResize::layout() {
    const double w = 1.5 * RefW, h = 0.8 * RefH, fontFactor = double(0.8f);
    Rig rig;
    // Recorded at Left 182, Top 120: halves round to the even integer.
    auto label = rig.box("Label", 3, {181.5, 120.5, 540, 285}, 12);
    auto combo = rig.box("Combo", 0, {2400, 1200, 1215, 315}, 8.25, ControlKind::ComboBox);
    combo->refused = {P::Height};
    auto pinned = rig.box("Combo", 1, {2000, 1000, 3000, 300}, 8.25, ControlKind::ComboBox);
    pinned->refused = {P::Top};
    auto rule = std::make_shared<FakeControl>("Line1", std::nullopt, ControlKind::Line);
    rule->values = {{P::X1, 120}, {P::X2, 15000}, {P::Y1, 600}, {P::Y2, 660}};
    rig.form->list.push_back(rule);
    rig.engine.Initialize();

    for (const auto& c : rig.form->list)
        c->scramble();
    rig.resizeTo(1.1 * RefW, 1.3 * RefH);  // a layout in between must leave no trace
    rig.resizeTo(w, h);

    // Factors are 32-bit floats; the products reach the control unrounded.
    const double sx = float(w / RefW), sy = float(h / RefH);
    QCOMPARE(label->edges(), QRectF(sx * 182, sy * 120, sx * 540, sy * 285));
    QCOMPARE(combo->edges(), QRectF(sx * 2400, sy * 1200, sx * 1215, 315));
    QCOMPARE(QList<double>({(*label)[P::Fontsize], (*combo)[P::Fontsize]}),
             QList<double>({12 * fontFactor, 8.25 * fontFactor}));
    QCOMPARE(pinned->edges(), QRectF(sx * 2000, 1000, sx * 3000, sy * 300));
    QCOMPARE(combo->moves + pinned->moves, 0);  // boxes set their edges one by one
    QCOMPARE(
        QRectF(QPointF((*rule)[P::X1], (*rule)[P::Y1]), QPointF((*rule)[P::X2], (*rule)[P::Y2])),
        QRectF(QPointF(sx * 120, sy * 600), QPointF(sx * 15000, sy * 660)));
    QCOMPARE(rig.form->w, w);  // the window keeps its size
}

void TstResize::recordsAreTakenOnce() {
    Rig rig;
    auto label = rig.box("Label", {}, {200, 100, 300, 400}, 10);
    rig.engine.Initialize();
    auto late = rig.box("Late", {}, {10, 20, 30, 40});
    rig.resizeTo(2 * RefW, 2 * RefH);
    QCOMPARE(label->edges(), QRectF(400, 200, 600, 800));
    QCOMPARE(late->writes, 0);  // no record yet: left alone

    // The next activation finds the label elsewhere; its record stays, the late one is added.
    label->scramble();
    rig.engine.Initialize();
    QCOMPARE(rig.engine.records().Count(), 2);
    QCOMPARE(rig.engine.records().item("Label")->Left(), 200);
    QCOMPARE(rig.engine.records().item("Late")->Tag(), 2);
    rig.resizeTo(RefW, RefH);
    QCOMPARE(label->edges(), QRectF(200, 100, 300, 400));
    QCOMPARE((*label)[P::Fontsize], 10.0);

    clsResize detached;  // no window: every step fails quietly
    detached.Initialize();
    detached.DoResize();
    QCOMPARE(detached.reference().Top(), 345);
}

void TstResize::fontSources_data() {
    // -1: the control has no such property.
    QTest::addColumn<double>("fontsize");
    QTest::addColumn<double>("font");
    QTest::addColumn<bool>("unreadable");
    QTest::addColumn<float>("recorded");
    QTest::addColumn<double>("fontsizeAfter");
    QTest::addColumn<double>("fontAfter");
    QTest::newRow("Fontsize") << 10.0 << 11.0 << false << 10.0f << 5.0 << 11.0;
    QTest::newRow("only a Font") << -1.0 << 11.0 << false << 11.0f << -1.0 << 5.5;
    QTest::newRow("neither") << -1.0 << -1.0 << false << 0.0f << -1.0 << -1.0;
    QTest::newRow("Fontsize unreadable") << 10.0 << 11.0 << true << 0.0f << 0.0 << 11.0;
}

void TstResize::fontSources() {
    QFETCH(double, fontsize);
    QFETCH(double, font);
    QFETCH(bool, unreadable);
    QFETCH(float, recorded);
    QFETCH(double, fontsizeAfter);
    QFETCH(double, fontAfter);
    Rig rig;
    auto c = rig.box("Image1", {}, {100, 100, 1000, 500});
    c->values.erase(P::Fontsize);
    c->values.erase(P::Font_Size);
    if (fontsize >= 0) c->values[P::Fontsize] = fontsize;
    if (font >= 0) c->values[P::Font_Size] = font;
    if (unreadable) c->unreadable = {P::Fontsize};
    rig.engine.Initialize();
    QCOMPARE(rig.engine.records().item("Image1")->Fontsize(), recorded);

    rig.resizeTo(RefW / 2, RefH / 2);
    QCOMPARE((*c)[P::Fontsize], fontsizeAfter);
    QCOMPARE((*c)[P::Font_Size], fontAfter);
    QCOMPARE(c->edges(), QRectF(50, 50, 500, 250));
}

void TstResize::qtWindow() {
    if (twipsPerPixel() != 15.0) QSKIP("the pixel figures below assume 96 DPI");
    QWidget window;
    window.resize(1022, 713);  // 15330 x 10695 twips: the reference outer size
    auto* title = new QLabel("Typ:", &window);
    title->setObjectName("Label_Typ_Text");
    title->setGeometry(12, 8, 36, 19);
    QFont font = title->font();
    font.setPointSizeF(12);
    title->setFont(font);
    auto* frame = new QGroupBox("Converter", &window);
    frame->setObjectName("Frame1");
    frame->setGeometry(20, 40, 400, 200);
    auto* combo = new QComboBox(frame);
    combo->setObjectName("Combo_Polarisation");
    combo->setProperty("Index", 2);
    combo->addItems({"SAT 1", "SAT 2"});
    combo->setGeometry(10, 30, 100, combo->sizeHint().height());
    const double comboPoints = combo->font().pointSizeF();
    new QLabel("x", &window);  // unnamed: not resized
    auto* rule = new QFrame(&window);
    rule->setObjectName("Line1");
    rule->setFrameShape(QFrame::HLine);
    rule->setGeometry(10, 300, 200, 4);

    auto form = std::make_shared<QtResizeForm>(&window);
    QCOMPARE(form->controls().size(), std::size_t(4));
    clsResize engine;
    engine.oForm(form);
    engine.Initialize();
    QCOMPARE(engine.records().item("Combo_Polarisation2")->Top(), 450);
    QCOMPARE(engine.records().item("Line1")->Y1(), 4530);  // the centre line

    // 1.5 x as wide and 2 x as high outside: fonts follow the smaller factor.
    window.resize(1537, 1460);
    engine.DoResize();
    QCOMPARE(title->geometry(), QRect(18, 16, 54, 38));
    QCOMPARE(title->font().pointSizeF(), 18.0);
    QCOMPARE(frame->geometry(), QRect(30, 80, 600, 400));
    QCOMPARE(combo->geometry(), QRect(15, 60, 150, combo->sizeHint().height()));
    QCOMPARE(combo->font().pointSizeF(), comboPoints * 1.5);
    QCOMPARE(rule->geometry(), QRect(15, 602, 300, 4));

    engine.DoResize_First(true);
    QCOMPARE(window.size(), QSize(1022, 713));
    QCOMPARE(title->geometry(), QRect(12, 8, 36, 19));
}

QTEST_MAIN(TstResize)
#include "tst_resize.moc"
