#include "twips.h"

#include <QGuiApplication>
#include <QMdiSubWindow>
#include <QScreen>
#include <cmath>

namespace meridan::ui {

double twipsPerPixel() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    const double dpi = screen ? screen->logicalDotsPerInchX() : 96.0;
    return 1440.0 / (dpi > 0 ? dpi : 96.0);
}

int twipsToPixels(double twips) {
    return static_cast<int>(std::lround(twips / twipsPerPixel()));
}

double pixelsToTwips(int pixels) {
    return pixels * twipsPerPixel();
}

QRect twipsRect(double left, double top, double width, double height) {
    return QRect(twipsToPixels(left), twipsToPixels(top), twipsToPixels(width),
                 twipsToPixels(height));
}

QFont arial(double points, bool bold) {
    QFont f(QStringLiteral("Arial"));
    f.setPointSizeF(points);
    f.setBold(bold);
    return f;
}

void closeChildWindow(QWidget* window) {
    if (auto* sub = qobject_cast<QMdiSubWindow*>(window->parentWidget())) {
        sub->close();
    } else {
        window->close();
    }
}

void closeChildWindowLater(QWidget* window) {
    QMetaObject::invokeMethod(
        window,
        [window] {
            if (window->isVisible()) closeChildWindow(window);
        },
        Qt::QueuedConnection);
}

}  // namespace meridan::ui
