#pragma once

class QWidget;

namespace meridan::ui {

// Gives a window the icon "sat.ico" from the current folder when the file is there; without
// it the window keeps the program's own icon.
void loadWindowIcon(QWidget* window);

}  // namespace meridan::ui
