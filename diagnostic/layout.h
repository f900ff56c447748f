#pragma once

#include "uisupport/twips.h"

namespace meridan::diagnostic_layout {

// Where each control of the Diagnostic window goes, in twips, with its caption and its font
// (Arial; `points` 0 is the window's own 8.25 pt regular). The two frames are placed on the
// window, everything else in its frame. The window's client area is 15330 x 10695, as the
// other windows'.
using Place = ui::Place;

// The lock states: a header and twelve rows, each with its last minute drawn beside it.
inline constexpr Place Locks{"Frame_Locks", "Lock states", 180, 120, 10200, 10380, 8.25};
inline constexpr Place HeadConverter{
    "Label_Head_Converter", "Converter", 240, 300, 1800, 300, 9.75};
inline constexpr Place HeadIn{"Label_Head_In", "Input PLL", 2160, 300, 1800, 300, 9.75};
inline constexpr Place HeadOut{"Label_Head_Out", "Output PLL", 4080, 300, 1800, 300, 9.75};
inline constexpr Place HeadChanged{"Label_Head_Changed", "Last change", 6000, 300, 1440, 300, 9.75};
inline constexpr Place HeadHistory{"Label_Head_History", "Last 60 s", 7560, 300, 2400, 300, 9.75};
// Row i lies RowStep lower than row 0.
inline constexpr Place Converter{"Label_Converter", "Converter %1", 240, 780, 1800, 480, 12};
inline constexpr Place StatusIn{"Label_Status_In", "", 2160, 720, 1800, 600, 12};
inline constexpr Place StatusOut{"Label_Status_Out", "", 4080, 720, 1800, 600, 12};
inline constexpr Place Changed{"Label_Changed", "", 6000, 780, 1440, 480, 12, false};
// The lock history of the row: the input lock above, the output lock below it.
inline constexpr Place HistoryIn{"LockStrip_In", "", 7560, 735, 2400, 270, 0};
inline constexpr Place HistoryOut{"LockStrip_Out", "", 7560, 1035, 2400, 270, 0};
inline constexpr double RowStep = 780;

// What is monitored, Start and Stop, the refresh rate.
inline constexpr Place Monitor{"Frame_Monitor", "Monitor", 10560, 120, 4590, 4800, 8.25};
inline constexpr Place ConvertersText{"Label_Converters", "Converters:", 240, 360, 4080, 300, 9.75};
inline constexpr Place ConverterChoice{"Combo_Converter", "", 240, 720, 4080, 405, 12, false};
inline constexpr Place OutputLock{
    "Check_OutputLock", "Output lock too", 240, 1320, 4080, 375, 12, false};
inline constexpr Place Beep{"Check_Beep", "Audible signal", 240, 1800, 4080, 375, 12, false};
inline constexpr Place Start{"Command_Start", "Start", 240, 2520, 1935, 600, 12};
inline constexpr Place Stop{"Command_Stop", "Stop", 2385, 2520, 1935, 600, 12};
inline constexpr Place Rate{"Label_Rate", "", 240, 3480, 4080, 480, 14};

// How the monitor runs and who holds the port.
inline constexpr Place State{"Frame_State", "State", 10560, 5160, 4590, 3240, 8.25};
inline constexpr Place StateText{"Label_State", "Stopped", 240, 360, 4080, 1320, 12};
inline constexpr Place Owner{"Label_Owner", "", 240, 1800, 4080, 1200, 9.75, false};

}  // namespace meridan::diagnostic_layout
