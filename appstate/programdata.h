#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <optional>

#include "protocol/unitimage.h"

namespace meridan {

// The firmware image last sent to a module in this run of the program.
struct SentImage {
    QString name;       // the file's name, without its folder
    qint64 size = 0;    // bytes
    QByteArray sha256;  // digest of the image's bytes as read and sent (raw)
    QString result;     // how the update ended: "Update Successful", ...
};

// The last Save of this run: which unit, how it ended, and the backup taken before it.
struct SaveRecord {
    QString unitType;
    std::int32_t serial = 0;
    QString outcome;  // "Saved and verified 12:03:07", "Converter 7: input ..."
    QString backup;   // the backup's path
};

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

    // Where the backup before each Save goes ($XDG_DATA_HOME/meridan/backups unless set).
    QString BackupFolder;
    // After a Save, the unit is read back and compared with what was sent.
    bool VerifyAfterSave = true;
    std::optional<SaveRecord> lastSave;
    std::optional<SentImage> firmwareSent;
};

}  // namespace meridan
