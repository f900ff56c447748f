#pragma once

#include <QStringList>
#include <QTextStream>

#include "inventory.h"

namespace meridan::cli {

// meridan-cli fleet INVENTORY VERB [FILE] [--jobs N] [--report FILE.json] [--confirm]
// [--backup-dir DIR | --no-backup] [--pdf-dir DIR]: VERB (read, diff, write, flash) on every
// unit of the inventory at once, each in a process of its own, so each unit gets the
// single-unit command's behaviour, backups and checks, and a unit that fails or crashes stops
// no other. `arguments` are those after "fleet".
int runFleet(const QStringList& arguments, QTextStream& out, QTextStream& err);

}  // namespace meridan::cli
