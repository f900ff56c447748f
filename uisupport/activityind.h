#pragma once

#include <QImage>
#include <QString>
#include <QVariantMap>
#include <QWidget>

class QPainter;

namespace meridan::ui {

// A small round symbol that turns one step each time its Step advances: 100 steps make one
// clockwise turn starting at twelve o'clock, so Step 100 and Step 0 show the same frame.
//
//   Style 0  a two-coloured disc (white and black halves with a lobe and a dot in each)
//   Style 1  a clock hand over a fixed twelve o'clock mark
//   Style 2  a needle in ForeColor
//   Style 3  a ring in ForeColor with an arrow head at its start and a notch at its tail
//   other    the background only
//
// Colours are 32-bit values 0x00BBGGRR, or, with the high bit set, a system colour index in
// the low 24 bits (0x8000000F is the button face). System colours are looked up in the
// widget's palette (inherited from its parent), which the control itself never changes.
//
// Every frame is drawn from scratch, aliased, into the off-screen image actBuf (always the
// widget's size) and shown with one drawImage, so the visible control never shows half a frame.
// A control smaller than 5 pixels in either direction has no room for the symbol (its radius
// is 0 or less) and shows the background only.
//
// Setting Style, BackColor, ForeColor, or a Step that changes the position, repaints at once.
// Every setter reports its property through propertyChanged(), Step even when the position
// stays, so a window that stores its controls' properties knows to write them.
//
//     auto* activity = new ActivityInd(window);
//     activity->setStyle(3);
//     activity->setForeColor(0xC000);  // green
//     // on each tick while busy: 0, 10, ... 100, 0, ...
//     activity->setStep(activity->Step() >= 100 ? 0 : activity->Step() + 10);
class ActivityInd : public QWidget {
    Q_OBJECT
    Q_PROPERTY(int Style READ Style WRITE setStyle)
    Q_PROPERTY(int Step READ Step WRITE setStep)
    Q_PROPERTY(quint32 BackColor READ BackColor WRITE setBackColor)
    Q_PROPERTY(quint32 ForeColor READ ForeColor WRITE setForeColor)

  public:
    static constexpr int DefaultStyle = 0;
    static constexpr int DefaultStep = 0;
    static constexpr int MaxStep = 100;
    static constexpr quint32 DefaultBackColor = 0x8000000F;  // system colour 15, button face
    static constexpr quint32 DefaultForeColor = 0x500000;    // dark blue
    static constexpr quint32 SystemColorFlag = 0x80000000;

    explicit ActivityInd(QWidget* parent = nullptr);

    int Style() const { return style_; }
    void setStyle(int value);
    using QWidget::setStyle;  // the widget style, QStyle*, stays reachable

    int Step() const { return step_; }
    // Limits the value to 0..MaxStep; repaints only when that moves the position.
    void setStep(int value);

    quint32 BackColor() const { return backColor_; }
    void setBackColor(quint32 value);
    quint32 ForeColor() const { return foreColor_; }
    void setForeColor(quint32 value);

    // A system colour (high bit set) as the explicit colour 0x00BBGGRR the palette gives it
    // now; an unknown index gives black. Any other value is returned unchanged.
    quint32 XlatColor(quint32 lColor) const;
    // The explicit colour 0x00BBGGRR as a QColor (the top byte is ignored).
    static QColor toQColor(quint32 bgr);

    // The stored properties under the keys "Style", "Step", "BackColor" and "ForeColor".
    // Reading takes a missing or unreadable key as its default, checks no range (Step is only
    // held to 16 bits) and does not repaint; writing always writes all four keys.
    void readProperties(const QVariantMap& bag);
    QVariantMap writeProperties() const;

    // Radius of the symbol in a control of this size: half the smaller dimension less 1, less 1
    // again unless its whole part is odd, so a 38-pixel control gets 17, 33 gets 15.5, 31 gets
    // 13.5. The centre is (width / 2, height / 2).
    static float radiusFor(int width, int height);

    // Draws the current frame into actBuf; works without the widget being shown.
    void renderFrame();
    const QImage& actBuf() const { return actBuf_; }
    // Frames drawn by renderFrame() since the control was created.
    int framesDrawn() const { return framesDrawn_; }

  Q_SIGNALS:
    void propertyChanged(const QString& name);

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    struct Frame;

    void drawTaijitu(QPainter& p, const Frame& f) const;
    void drawHand(QPainter& p, const Frame& f) const;
    void drawNeedle(QPainter& p, const Frame& f) const;
    void drawRingArrow(QPainter& p, const Frame& f) const;

    qint32 style_ = DefaultStyle;
    qint16 step_ = DefaultStep;
    quint32 backColor_ = DefaultBackColor;
    quint32 foreColor_ = DefaultForeColor;
    QImage actBuf_;
    int framesDrawn_ = 0;
};

}  // namespace meridan::ui
