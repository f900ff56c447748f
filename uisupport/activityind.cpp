#include "activityind.h"

#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QPolygon>
#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numbers>
#include <utility>

namespace meridan::ui {

namespace {

// Angles, centre, radius and these constants are single precision; sines, cosines and the
// step's share of a turn are double. The triangle corners are rounded from those values half
// to even, so the precision decides which pixel a corner near a pixel edge lands on.
constexpr float Pi = 3.1415927f;
constexpr float TwoPi = 6.2831855f;
constexpr float SevenPiBy6 = 7 * Pi / 6;
constexpr float FivePiBy6 = 5 * Pi / 6;
constexpr float RingSweep = 157.07964f / 32;  // 25 pi / 16, 281.25 degrees
// A sector cannot start or end at exactly 0, so such angles are raised to this.
constexpr float MinSectorAngle = 0.005f;

float wrappedSum(float angle) {
    return angle > TwoPi ? angle - TwoPi : angle;
}
float wrappedDifference(float angle) {
    return angle < 0 ? angle + TwoPi : angle;
}
float raised(float angle) {
    return std::max(angle, MinSectorAngle);
}

double roundHalfEven(double v) {
    const double whole = std::floor(v);
    const double fraction = v - whole;
    if (fraction > 0.5) return whole + 1;
    if (fraction < 0.5) return whole;
    return std::fmod(whole, 2.0) == 0 ? whole : whole + 1;
}

// Qt angles: sixteenths of a degree, counter-clockwise from three o'clock, the same sense as
// ours.
int sixteenths(float radians) {
    return static_cast<int>(std::lround(double(radians) * (180.0 * 16.0) / std::numbers::pi));
}

// A sector from `from` counter-clockwise to `to`, as Qt's start and span. Equal ends mark the
// whole circle.
std::pair<int, int> sector(float from, float to) {
    const int start = sixteenths(from);
    int span = sixteenths(to) - start;
    while (span <= 0)
        span += 360 * 16;
    while (span > 360 * 16)
        span -= 360 * 16;
    return {start, span};
}

// Like the old aliased drawing, every shape lands on whole pixels: points and the edges of a
// circle's bounding box are rounded half to even before Qt sees them, after a first rounding
// to 1/64 pixel. So single-precision noise decides no pixel: a line ending at x = 18.99999
// stays in column 19, and a lobe's edge at 10.4999981 rounds as the 10.5 it stands for, in
// every position of the symbol that puts it there (Step 0 and Step 100 alike).
double toPixel(double v) {
    return roundHalfEven(roundHalfEven(v * 64) / 64);
}

QPointF snapped(const QPointF& point) {
    return {toPixel(point.x()), toPixel(point.y())};
}

QRectF circleBox(const QPointF& centre, float radius) {
    return QRectF(snapped(centre - QPointF(radius, radius)),
                  snapped(centre + QPointF(radius, radius)));
}

void line(QPainter& p, const QPointF& from, const QPointF& to) {
    p.drawLine(snapped(from), snapped(to));
}

void fullCircle(QPainter& p, const QPointF& centre, float radius, const QColor& outline,
                const QBrush& fill) {
    p.setPen(outline);
    p.setBrush(fill);
    p.drawEllipse(circleBox(centre, radius));
}

void pie(QPainter& p, const QPointF& centre, float radius, float from, float to,
         const QColor& outline, const QColor& fill) {
    const auto [start, span] = sector(from, to);
    p.setPen(outline);
    p.setBrush(fill);
    p.drawPie(circleBox(centre, radius), start, span);
}

void arc(QPainter& p, const QPointF& centre, float radius, float from, float to,
         const QColor& colour) {
    const auto [start, span] = sector(from, to);
    p.setPen(colour);
    p.setBrush(Qt::NoBrush);
    p.drawArc(circleBox(centre, radius), start, span);
}

// Fills the triangle (odd-even rule) without an outline. A degenerate triangle fills nothing.
void fillTriangle(QPainter& p, const QPolygon& corners, const QColor& colour) {
    QPainterPath path;
    path.setFillRule(Qt::OddEvenFill);
    path.addPolygon(QPolygonF(corners));
    path.closeSubpath();
    p.fillPath(path, colour);
}

quint32 toBgr(const QColor& c) {
    return quint32(c.red()) | quint32(c.green()) << 8 | quint32(c.blue()) << 16;
}

// The classic system colours by index, as the nearest roles of the widget's palette.
struct SystemColour {
    QPalette::ColorGroup group;
    QPalette::ColorRole role;
};
constexpr QPalette::ColorGroup Active = QPalette::Active;
constexpr std::array<SystemColour, 31> SystemColours{{
    {Active, QPalette::Button},                  // 0 scroll bar
    {Active, QPalette::Window},                  // 1 desktop
    {Active, QPalette::Highlight},               // 2 active caption
    {Active, QPalette::Mid},                     // 3 inactive caption
    {Active, QPalette::Window},                  // 4 menu
    {Active, QPalette::Base},                    // 5 window
    {Active, QPalette::Shadow},                  // 6 window frame
    {Active, QPalette::WindowText},              // 7 menu text
    {Active, QPalette::Text},                    // 8 window text
    {Active, QPalette::HighlightedText},         // 9 caption text
    {Active, QPalette::Button},                  // 10 active border
    {Active, QPalette::Button},                  // 11 inactive border
    {Active, QPalette::Dark},                    // 12 MDI workspace
    {Active, QPalette::Highlight},               // 13 highlight
    {Active, QPalette::HighlightedText},         // 14 highlighted text
    {Active, QPalette::Button},                  // 15 button face
    {Active, QPalette::Dark},                    // 16 button shadow
    {QPalette::Disabled, QPalette::WindowText},  // 17 grey text
    {Active, QPalette::ButtonText},              // 18 button text
    {QPalette::Disabled, QPalette::WindowText},  // 19 inactive caption text
    {Active, QPalette::Light},                   // 20 button highlight
    {Active, QPalette::Shadow},                  // 21 3D dark shadow
    {Active, QPalette::Midlight},                // 22 3D light
    {Active, QPalette::ToolTipText},             // 23 tooltip text
    {Active, QPalette::ToolTipBase},             // 24 tooltip background
    {Active, QPalette::NoRole},                  // 25 none
    {Active, QPalette::Link},                    // 26 hot-tracked item
    {Active, QPalette::Highlight},               // 27 active caption gradient
    {Active, QPalette::Mid},                     // 28 inactive caption gradient
    {Active, QPalette::Highlight},               // 29 menu highlight
    {Active, QPalette::Window},                  // 30 menu bar
}};

qint64 bagNumber(const QVariantMap& bag, const QString& key, qint64 fallback) {
    const auto it = bag.constFind(key);
    if (it == bag.constEnd()) return fallback;
    bool ok = false;
    const qint64 value = it->toLongLong(&ok);
    return ok ? value : fallback;
}

const QString StyleKey = QStringLiteral("Style");
const QString StepKey = QStringLiteral("Step");
const QString BackColorKey = QStringLiteral("BackColor");
const QString ForeColorKey = QStringLiteral("ForeColor");

}  // namespace

// One frame's geometry: centre, radius, the angle of the symbol (radians, 0 at three o'clock,
// counter-clockwise; Step 0 is twelve o'clock) and the two colours after translation.
struct ActivityInd::Frame {
    float cx = 0;
    float cy = 0;
    float r = 0;
    float a = 0;
    QColor fore;
    QColor back;

    QPointF centre() const { return {cx, cy}; }
    // The point at distance rho in direction theta, in single precision as the circle and line
    // primitives take it.
    QPointF at(float rho, float theta) const {
        return {static_cast<float>(cx + rho * std::cos(double(theta))),
                static_cast<float>(cy - rho * std::sin(double(theta)))};
    }
    // The same point rounded to whole pixels, half to even: a triangle corner.
    QPoint corner(double rho, float theta) const {
        return {static_cast<int>(roundHalfEven(cx + rho * std::cos(double(theta)))),
                static_cast<int>(roundHalfEven(cy - rho * std::sin(double(theta))))};
    }
};

ActivityInd::ActivityInd(QWidget* parent) : QWidget(parent) {
    // Every paint covers the whole surface with actBuf.
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void ActivityInd::setStyle(int value) {
    style_ = value;
    repaint();
    Q_EMIT propertyChanged(StyleKey);
}

void ActivityInd::setStep(int value) {
    const int limited = std::clamp(value, 0, MaxStep);
    if (limited != step_) {
        step_ = static_cast<qint16>(limited);
        repaint();
    }
    Q_EMIT propertyChanged(StepKey);
}

void ActivityInd::setBackColor(quint32 value) {
    backColor_ = value;
    repaint();
    Q_EMIT propertyChanged(BackColorKey);
}

void ActivityInd::setForeColor(quint32 value) {
    foreColor_ = value;
    repaint();
    Q_EMIT propertyChanged(ForeColorKey);
}

quint32 ActivityInd::XlatColor(quint32 lColor) const {
    if ((lColor & SystemColorFlag) == 0) return lColor;
    const quint32 index = lColor & 0xFFFFFF;
    if (index >= SystemColours.size() || SystemColours[index].role == QPalette::NoRole) return 0;
    const SystemColour& colour = SystemColours[index];
    return toBgr(palette().color(colour.group, colour.role));
}

QColor ActivityInd::toQColor(quint32 bgr) {
    return QColor(int(bgr & 0xFF), int(bgr >> 8 & 0xFF), int(bgr >> 16 & 0xFF));
}

void ActivityInd::readProperties(const QVariantMap& bag) {
    style_ = static_cast<qint32>(bagNumber(bag, StyleKey, DefaultStyle));
    step_ = static_cast<qint16>(std::clamp<qint64>(bagNumber(bag, StepKey, DefaultStep),
                                                   std::numeric_limits<qint16>::min(),
                                                   std::numeric_limits<qint16>::max()));
    backColor_ = static_cast<quint32>(bagNumber(bag, BackColorKey, DefaultBackColor));
    foreColor_ = static_cast<quint32>(bagNumber(bag, ForeColorKey, DefaultForeColor));
}

QVariantMap ActivityInd::writeProperties() const {
    return {{StyleKey, style_},
            {StepKey, int(step_)},
            {BackColorKey, backColor_},
            {ForeColorKey, foreColor_}};
}

float ActivityInd::radiusFor(int width, int height) {
    const float d = static_cast<float>(std::min(width, height));
    float r = d / 2 - 1;
    // Less 1 again unless the whole part is odd (for a whole r: always).
    if (std::floor(r / 2) == float(static_cast<int>(roundHalfEven(r)) / 2)) r -= 1;
    return r;
}

void ActivityInd::renderFrame() {
    ++framesDrawn_;
    if (actBuf_.size() != size()) {
        actBuf_ = size().isEmpty() ? QImage() : QImage(size(), QImage::Format_RGB32);
    }
    if (actBuf_.isNull()) return;

    Frame f;
    f.fore = toQColor(XlatColor(foreColor_));
    f.back = toQColor(XlatColor(backColor_));

    QPainter p(&actBuf_);
    p.setRenderHint(QPainter::Antialiasing, false);
    p.fillRect(actBuf_.rect(), f.back);

    f.r = radiusFor(actBuf_.width(), actBuf_.height());
    if (f.r <= 0) return;  // no room for the symbol
    f.cx = static_cast<float>(actBuf_.width()) / 2;
    f.cy = static_cast<float>(actBuf_.height()) / 2;
    // Step 0 points to twelve o'clock; a growing Step turns clockwise, 100 steps a turn.
    f.a = static_cast<float>(double(Pi / 2) - double(float(step_) * TwoPi) / 100.0);
    if (f.a < 0) f.a += TwoPi;

    switch (style_) {
        case 0:
            drawTaijitu(p, f);
            break;
        case 1:
            drawHand(p, f);
            break;
        case 2:
            drawNeedle(p, f);
            break;
        case 3:
            drawRingArrow(p, f);
            break;
        default:
            break;  // background only
    }
}

// A disc, white on the side counter-clockwise from the angle and black on the other, with a
// white lobe towards the angle and a black one opposite, each holding a dot of the other colour.
void ActivityInd::drawTaijitu(QPainter& p, const Frame& f) const {
    const QColor white(Qt::white);
    const QColor black(Qt::black);
    const float a1 = raised(f.a);
    const float a2 = raised(wrappedSum(f.a + Pi));
    const float half = f.r / 2;
    const float dot = f.r / 10;
    const QPointF whiteLobe = f.at(half, f.a);
    const QPointF blackLobe(static_cast<float>(f.cx - half * std::cos(double(f.a))),
                            static_cast<float>(f.cy + half * std::sin(double(f.a))));

    pie(p, f.centre(), f.r, a1, a2, black, white);
    pie(p, f.centre(), f.r, a2, a1, black, black);
    fullCircle(p, whiteLobe, half, white, white);
    fullCircle(p, blackLobe, half, black, black);
    fullCircle(p, whiteLobe, dot, black, black);
    fullCircle(p, blackLobe, dot, white, white);
    fullCircle(p, f.centre(), f.r, black, Qt::NoBrush);
}

// A fixed twelve o'clock mark and, once the step has moved, a hand at the angle.
void ActivityInd::drawHand(QPainter& p, const Frame& f) const {
    p.setPen(QColor(Qt::black));
    line(p, f.centre(), QPointF(f.cx, f.cy - f.r));
    if (step_ > 0) line(p, f.centre(), f.at(f.r, f.a));
}

// A slim triangle in ForeColor from a tenth of the radius behind the centre to the rim.
void ActivityInd::drawNeedle(QPainter& p, const Frame& f) const {
    const double tail = double(f.r) / 10;
    const QPolygon corners{f.corner(f.r, f.a), f.corner(tail, f.a + SevenPiBy6),
                           f.corner(tail, f.a + FivePiBy6)};
    fillTriangle(p, corners, f.fore);
    p.setPen(QColor(Qt::black));
    p.setBrush(Qt::NoBrush);
    p.drawPolygon(corners);
}

// A ring from the angle counter-clockwise over 281.25 degrees, its head an arrow pointing
// clockwise at the angle and its tail cut by a notch in the background colour.
void ActivityInd::drawRingArrow(QPainter& p, const Frame& f) const {
    const QColor black(Qt::black);
    const float outer = 0.89f * f.r;
    const float inner = 0.45f * f.r;
    const float ae = wrappedSum(f.a + RingSweep);
    const float from = raised(f.a);
    const float to = raised(ae);

    pie(p, f.centre(), outer, from, to, f.fore, f.fore);
    arc(p, f.centre(), outer, from, to, black);
    fullCircle(p, f.centre(), inner, f.back, f.back);
    arc(p, f.centre(), inner, from, to, black);

    // Arrow head: its back edge just behind the ring's start, reaching past both rims.
    const float headBack = f.a + 0.04f;
    const float headTip = wrappedDifference(f.a - TwoPi / 10);
    const QPoint h1 = f.corner(f.r, headBack);
    const QPoint h2 = f.corner(0.33f * f.r, headBack);
    const QPoint h3 = f.corner(0.78f * f.r, headTip);
    fillTriangle(p, QPolygon{h1, h2, h3}, f.fore);
    p.setPen(black);
    line(p, h2, f.at(inner, headBack));
    line(p, h1, f.at(outer, headBack));
    p.drawLine(h2, h3);
    p.drawLine(h1, h3);

    // Notch: a triangle of background cut into the tail end of the ring.
    const float notchBack = ae + 0.04f;
    const float notchTip = wrappedDifference(ae - TwoPi / 18);
    const QPoint t1 = f.corner(outer, notchBack);
    const QPoint t2 = f.corner(inner, notchBack);
    const QPoint t3 = f.corner(0.66f * f.r, notchTip);
    fillTriangle(p, QPolygon{t1, t2, t3}, f.back);
    p.setPen(black);
    line(p, t3, f.at(inner, ae));
    line(p, t3, f.at(outer, ae));
}

void ActivityInd::paintEvent(QPaintEvent* /*event*/) {
    renderFrame();
    QPainter p(this);
    p.drawImage(QPoint(0, 0), actBuf_);
}

void ActivityInd::resizeEvent(QResizeEvent* event) {
    actBuf_ = size().isEmpty() ? QImage() : QImage(size(), QImage::Format_RGB32);
    QWidget::resizeEvent(event);
}

}  // namespace meridan::ui
