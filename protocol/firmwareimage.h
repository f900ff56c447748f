#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <variant>

namespace meridan {

// Firmware images are files "VELNO_S*.bin" in the program's folder. A file has no header and
// is not interpreted: it goes to the module byte for byte in sectors of 64 KiB, each sent as
// four blocks; the last sector is filled up with blanks past the end of the file. The count
// of sectors travels in one byte, so an image has 1 to 255 sectors.
constexpr qint64 SectorBytes = 65536;
constexpr int BlocksPerSector = 4;
constexpr qint64 BlockBytes = SectorBytes / BlocksPerSector;  // 16 KiB
constexpr int MaxSectors = 255;
inline const QString FirmwarePattern = QStringLiteral("VELNO_S*.bin");

// Sectors an image of `bytes` bytes fills: the length divided by 65536, rounded up.
constexpr qint64 sectorCount(qint64 bytes) {
    return (bytes + SectorBytes - 1) / SectorBytes;
}

// True when `path` names something that is neither a folder nor missing.
bool FileExists(const QString& path);
// True when the file can be opened for reading while no other process writes it.
bool FileReady(const QString& path);
// Names of the files in `folder` matching `pattern`, newest first by modification time.
QStringList firmwareImagesNewestFirst(const QString& folder, const QString& pattern);

struct ImageCheck {
    QString error;  // empty when the image can be sent
    qint64 size = 0;
    int sectors = 0;
};
// Whether an image can be sent: it exists, can be read, is not empty and has at most 255
// sectors.
ImageCheck checkFirmwareImage(const QString& path);

// The whole image as the file holds it now, or why it cannot be sent: the checks above, and
// a file that gives fewer bytes than its length.
std::variant<QByteArray, QString> readFirmwareImage(const QString& path);

}  // namespace meridan
