#pragma once

class QWidget;

namespace meridan::ui {

// Makes entry `index` of a combo box or list box the selected one without running its
// click handler; an index past the last entry leaves no entry selected. Other controls are
// left alone.
void ModListindex(QWidget* control, int index);

}  // namespace meridan::ui
