#pragma once

#include "uisupport/twips.h"

namespace meridan::overview_layout {

// Where each control of the overview window goes, in twips, with its caption and its font
// (Arial; `points` 0 is the window's own 8.25 pt regular). The window's controls are placed
// on the window; a channel's controls in its frame, and the Input and Output controls in
// those frames. The window's client area is 15330 x 10695.
using Place = ui::Place;

// The window.
inline constexpr Place TypText{"Label_Typ_Text", "Typ:", 180, 120, 525, 285, 12};
inline constexpr Place Typ{"Label_Typ", "", 840, 120, 1620, 345, 12, true, true};
inline constexpr Place HwText{"Label_HW_Text", "HW-Version:", 180, 600, 1455, 285, 12};
inline constexpr Place HwVersion{"Label_HW_Version", "", 1800, 600, 855, 345, 12, true, true};
inline constexpr Place SwText{"Label_SW_Text", "SW-Version:", 180, 1080, 1440, 285, 12};
inline constexpr Place SwVersion{"Label_SW_Version", "", 1800, 1080, 855, 345, 12, true, true};
inline constexpr Place SerialText{"Label_Serial_Text", "Serial-No:", 180, 1560, 1140, 285, 12};
inline constexpr Place SerialNumber{
    "Label_Serial_Number", "", 1800, 1560, 855, 345, 12, true, true};
inline constexpr Place Save{"Command_Save", "Save", 13320, 240, 975, 375, 8.25};
// Under Save: how the last Save ended, or what an opened plan changed.
inline constexpr Place SaveStatus{"Label_SaveStatus", "", 5400, 720, 8895, 1200, 9.75};
inline constexpr Place Reload{"Command_Reload", "Reload", 13320, 780, 975, 375, 8.25};
inline constexpr Place SettingMode{
    "Frame_Setting_Mode", "Setting Mode:", 3540, 420, 1695, 1275, 8.25};
inline constexpr Place Startindex{"Frame_Startindex", "StartIndex:", 5460, 420, 1275, 1275, 8.25};
inline constexpr Place Converters{"Frame_Converters", "", 180, 1980, 14235, 8655, 0, false};

// The twelve channel frames, in Frame_Converters: two rows of six, purple captions.
inline constexpr Place Channel{"FrameConverter", "Converter %1", 120, 240, 2295, 4095, 9.75};
inline constexpr double ChannelStepX = 2340, ChannelStepY = 4200;
inline constexpr int ChannelsPerRow = 6;

// In a channel frame.
inline constexpr Place CarrierOn{"Carrier_On", "ON", 1380, 180, 735, 255, 12};
inline constexpr Place Input{"Frame_Input", "Input:", 120, 420, 2055, 2235, 8.25};
inline constexpr Place Output{"Frame_Output", "Output:", 120, 2640, 2055, 1335, 8.25};
// In the Input frame.
inline constexpr Place Polarisation{"Combo_Polarisation", "", 120, 300, 1815, 405, 12};
inline constexpr Place InFreq{"Text_infrequenz", "", 120, 840, 855, 330, 12};
inline constexpr Place InMhz{"Label_In_MHz", "MHz", 1020, 900, 510, 285, 12};
inline constexpr Place PllIn{"Label_PLL_In", "PLL:", 120, 1320, 555, 255, 12};
inline constexpr Place StatusIn{"Label_Status_In", "", 720, 1320, 1155, 345, 12, true, true};
inline constexpr Place Gain{"Check_Gain", "Gain:", 60, 1800, 975, 255, 12};
// In the Output frame.
inline constexpr Place OutFreq{"Text_outfrequenz", "", 120, 360, 855, 330, 12};
inline constexpr Place OutMhz{"Label_Out_MHz", "MHz", 1020, 420, 510, 285, 12};
inline constexpr Place PllOut{"Label_PLL_Out", "PLL:", 120, 840, 555, 255, 12};
inline constexpr Place StatusOut{"Label_Status_Out", "", 720, 840, 1155, 345, 12, true, true};

}  // namespace meridan::overview_layout
