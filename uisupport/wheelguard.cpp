#include "wheelguard.h"

#include <QCoreApplication>
#include <QEvent>
#include <QWidget>

namespace meridan::ui {

namespace {

class WheelGuard final : public QObject {
  public:
    using QObject::QObject;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::Wheel) return false;
        auto* w = qobject_cast<QWidget*>(watched);
        if (!w || w->hasFocus()) return false;
        // Not taken: Qt offers the wheel to the parents, up to the scrolling area.
        event->ignore();
        return true;
    }
};

}  // namespace

void takeWheelOnlyWithFocus(QWidget* control) {
    static WheelGuard* guard = new WheelGuard(QCoreApplication::instance());
    if (control->focusPolicy() & Qt::WheelFocus & ~Qt::StrongFocus)
        control->setFocusPolicy(Qt::StrongFocus);
    control->installEventFilter(guard);
}

}  // namespace meridan::ui
