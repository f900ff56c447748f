#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>

namespace meridan::ui {

// Window and control geometry is designed in twips (1/1440 inch); the screen's logical DPI
// turns it into pixels (15 twips a pixel at 96 DPI).
double twipsPerPixel();
int twipsToPixels(double twips);
double pixelsToTwips(int pixels);
QRect twipsRect(double left, double top, double width, double height);

}  // namespace meridan::ui
