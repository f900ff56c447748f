#pragma once

#include <QFont>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>
#include <QWidget>

namespace meridan::ui {

// Window and control geometry is designed in twips (1/1440 inch); the screen's logical DPI
// turns it into pixels (15 twips a pixel at 96 DPI).
double twipsPerPixel();
int twipsToPixels(double twips);
double pixelsToTwips(int pixels);
QRect twipsRect(double left, double top, double width, double height);

// The windows are designed in Arial (on Linux fontconfig gives the metric-compatible
// Liberation Sans).
QFont arial(double points, bool bold);

// Names a control as the windows' code knows it (with its index in a control array, -1 for
// none), places it in twips and gives it its font.
template <typename W>
W* place(W* w, const char* name, int index, double left, double top, double width, double height,
         const QFont& font) {
    w->setObjectName(QLatin1String(name));
    if (index >= 0) w->setProperty("Index", index);
    w->setGeometry(twipsRect(left, top, width, height));
    w->setFont(font);
    return w;
}

// Closes a child window of the main window: its MDI frame when it has one.
void closeChildWindow(QWidget* window);
// The same once the event loop has the control again, when the window is still shown: for a
// window whose close waited for a running sequence to unwind.
void closeChildWindowLater(QWidget* window);

}  // namespace meridan::ui
