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

// Where a control of a window goes, in twips, with its caption and its font (Arial; `points` 0
// is the window's own font).
struct Place {
    const char* name;
    const char* caption;
    double left, top, width, height;
    double points;
    bool bold = true;
    bool border = false;  // a label with a single border
};

// A control where `p` puts it (at `left` / `top` instead when given), named, with its font.
template <typename W>
W* place(W* w, const Place& p, int index = -1, double left = -1, double top = -1) {
    const QFont font = p.points > 0 ? arial(p.points, p.bold) : w->parentWidget()->font();
    return place(w, p.name, index, left < 0 ? p.left : left, top < 0 ? p.top : top, p.width,
                 p.height, font);
}

// Closes a child window of the main window: its MDI frame when it has one.
void closeChildWindow(QWidget* window);
// The same once the event loop has the control again, when the window is still shown: for a
// window whose close waited for a running sequence to unwind.
void closeChildWindowLater(QWidget* window);

}  // namespace meridan::ui
