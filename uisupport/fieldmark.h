#pragma once

#include <QColor>
#include <QPointer>
#include <QWidget>

namespace meridan::ui {

// A coloured frame around a control, drawn over the control's parent: a value that differs from
// the unit's, or one the unit did not take. It follows the control as it moves, grows, shows
// and hides, and takes no mouse input, so the control's clicks and tool tip work as before.
class FieldMark final : public QWidget {
  public:
    static constexpr int Margin = 3;  // pixels around the control
    explicit FieldMark(QWidget* target);
    // Shows the frame in `colour`; an invalid colour takes it away.
    void mark(const QColor& colour);
    bool marked() const { return colour_.isValid(); }
    QColor colour() const { return colour_; }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

  private:
    void follow();

    QPointer<QWidget> target_;
    QColor colour_;
};

}  // namespace meridan::ui
