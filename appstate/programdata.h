#pragma once

#include <QString>

#include "protocol/unitimage.h"

namespace meridan {

// Data the whole program shares, created once by main() and handed to the windows.
struct ProgramData {
    UnitImage unit;
    LockTextTable LockText;
    // The overview window holds edits not yet written to the unit.
    bool DataChanged = false;
    // Left by the expert password dialog.
    bool PasswordAccepted = false;
    // The update window's expert mode.
    bool ExpertMode = false;
    // Full path of the firmware image to send.
    QString FirmwareFile;
};

}  // namespace meridan
