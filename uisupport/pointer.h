#pragma once

namespace meridan::ui {

// The application-wide mouse pointer: one setting, not a stack, so any number of "busy"
// calls are undone by one call of setDefaultPointer().
void setHourglass();
void setDefaultPointer();
bool hourglassShown();

}  // namespace meridan::ui
