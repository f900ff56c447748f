#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <optional>

class QFile;

namespace meridan::plan {

// Everything the tool reads as a file is a regular file (after following links) of a bounded
// size, checked before the port is opened: a FIFO, a device (/dev/zero) or a folder would make
// it wait for ever or read without end.
constexpr qint64 ProfileMaxBytes = 1024 * 1024;
constexpr qint64 BackupRoomBytes = 16 * 1024;

// The whole file, or nullopt and the reason ("not a regular file (a FIFO)"). Opening never
// waits for a writer.
std::optional<QByteArray> readRegularFile(const QString& path, qint64 maxBytes, QString* error);
// Whether the path is a regular file that can be opened for reading, without reading it.
bool isReadableRegularFile(const QString& path, QString* error);

// Opens (creates, empties) the wire trace. Only a regular file is taken: a FIFO without a
// reader would hold the tool, a device would swallow the trace. Each write goes straight to
// the file, so an interrupted run keeps every line written so far.
bool openTraceFile(QFile& file, const QString& path, QString* error);

// Writes `bytes` whole to a new file in `folder` with a name of its own (".part-XXXXXX"),
// synced to the disk. Its path, or an empty string and the system's reason ("No space left on
// device"); nothing is left behind then.
QString writeTemporary(const QString& folder, const QByteArray& bytes, QString* error);
// Whether an output file (a report, the commissioning report) can be written at `path`,
// checked before any unit is touched: what is there must be a regular file, and its folder
// must take a new file now.
bool canWriteFile(const QString& path, QString* why);
// Whether a file can be made in `folder`, created if need be.
bool canWriteInFolder(const QString& folder, QString* why);
// Gives the complete file `from` the name `to` unless that name is taken: false and no
// reason when it is, false and the system's reason when the name cannot be given.
bool nameWithoutReplacing(const QString& from, const QString& to, QString* error);
// Writes `bytes` to `path` through a temporary file beside it that replaces `path` only once
// it is complete: a reader never sees half a file, a failure leaves `path` as it was.
bool replaceFile(const QString& path, const QByteArray& bytes, QString* error);

// Whether `output` is the file `input` names: the same device and inode, or, where either
// does not exist, the same path once links are resolved. An output that is one of the tool's
// inputs would destroy it (--trace plan.json write plan.json).
bool sameFile(const QString& output, const QString& input);

// The first of `inputs` (a description and a path each) that `output` would overwrite, as
// "the profile plan.json"; empty when none.
QString overwrittenInput(const QString& output, const QList<QPair<QString, QString>>& inputs);

// Where backups go unless another folder is named: $XDG_DATA_HOME/meridan/backups (the
// command line's write, the fleet and the program's Save all keep them there).
QString defaultBackupFolder();

// Creates the backup folder if needed, tries a file in it and asks for room for a backup
// (BackupRoomBytes; a backup is about 4 KiB), so a write never reads the unit only to find
// that its backup cannot be kept.
bool prepareBackupFolder(const QString& folder, QString* error);

}  // namespace meridan::plan
