#pragma once

class QWidget;

namespace meridan::ui {

// The mouse wheel changes a list or a box only while it has the keyboard focus: turned over
// one that has not (scrolling the window past it), the wheel scrolls what holds it instead,
// and the control neither changes nor takes the focus.
void takeWheelOnlyWithFocus(QWidget* control);

}  // namespace meridan::ui
