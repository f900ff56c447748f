#include "lockstrip.h"

#include <QPainter>
#include <algorithm>

namespace meridan::ui {

void LockHistory::add(double time, LockSample state) {
    if (changes_.empty() || changes_.back().state != state) changes_.push_back({time, state});
    // Keep the last change before the window's left edge: it says what the strip starts with.
    while (changes_.size() > 1 && changes_[1].time <= time - span_)
        changes_.pop_front();
}

std::vector<LockHistory::Segment> LockHistory::segments(double now) const {
    std::vector<Segment> out;
    const double start = now - span_;
    double at = start;
    for (std::size_t k = 0; k < changes_.size(); ++k) {
        const double from = std::max(changes_[k].time, start);
        const double to = k + 1 < changes_.size() ? std::min(changes_[k + 1].time, now) : now;
        if (from > at) out.push_back({at, from, LockSample::Stale});
        if (to > from) out.push_back({from, to, changes_[k].state});
        at = std::max(at, to);
    }
    if (at < now) out.push_back({at, now, LockSample::Stale});
    return out;
}

LockStrip::LockStrip(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
}

QColor LockStrip::colour(LockSample state) {
    switch (state) {
        case LockSample::Locked:
            return {0, 176, 0};
        case LockSample::Unlocked:
            return {224, 0, 0};
        case LockSample::Unknown:
            return {150, 150, 150};
        case LockSample::Stale:
            break;
    }
    return {210, 210, 210};
}

void LockStrip::showAt(double now) {
    now_ = now;
    update();
}

void LockStrip::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), colour(LockSample::Stale));
    const QRect inner = rect().adjusted(1, 1, -1, -1);
    if (history_ && inner.width() > 0) {
        const double span = history_->span();
        const double scale = inner.width() / span;
        int drawn = 0;
        for (const LockHistory::Segment& s : history_->segments(now_)) {
            // Whole pixels, at least one wide, so a short loss of lock stays visible and is not
            // painted over by the state that follows it.
            const int left = std::max(drawn, int((s.from - (now_ - span)) * scale));
            const int right = std::max(left + 1, int((s.to - (now_ - span)) * scale + 0.5));
            p.fillRect(QRect(inner.left() + left, inner.top(), right - left, inner.height()),
                       colour(s.state));
            drawn = right;
        }
    }
    p.setPen(palette().color(QPalette::Mid));
    p.drawRect(rect().adjusted(0, 0, -1, -1));
}

}  // namespace meridan::ui
