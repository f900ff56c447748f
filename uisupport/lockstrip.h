#pragma once

#include <QColor>
#include <QWidget>
#include <deque>

namespace meridan::ui {

// What a lock looked like at a moment: read as locked or unlocked, read as anything else, or
// not read at all (the unit silent, the monitor stopped).
enum class LockSample { Locked, Unlocked, Unknown, Stale };

// The lock states of one converter over the last seconds, kept as the moments at which the
// state changed: a monitor that reads 300 times a second keeps a handful of entries.
class LockHistory {
  public:
    explicit LockHistory(double span = 60.0) : span_(span) {}
    double span() const { return span_; }

    // The state read at `time` (seconds on the monitor's clock, never decreasing).
    void add(double time, LockSample state);
    void clear() { changes_.clear(); }

    struct Segment {
        double from, to;
        LockSample state;
    };
    // The states from now - span to now, oldest first; the time before the first entry is
    // Stale. The last state lasts until now.
    std::vector<Segment> segments(double now) const;

  private:
    struct Change {
        double time;
        LockSample state;
    };
    double span_;
    std::deque<Change> changes_;
};

// A strip that draws a LockHistory: the oldest moment at the left, now at the right edge.
class LockStrip : public QWidget {
    Q_OBJECT
  public:
    explicit LockStrip(QWidget* parent = nullptr);
    void setHistory(const LockHistory* history) { history_ = history; }
    // Redraws the strip for the moment `now`.
    void showAt(double now);
    static QColor colour(LockSample state);
    QSize sizeHint() const override { return {120, 14}; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    const LockHistory* history_ = nullptr;
    double now_ = 0;
};

}  // namespace meridan::ui
