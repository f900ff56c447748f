#pragma once

#include <QString>

#include "protocol/unitimage.h"
#include "protocol/unitview.h"

namespace meridan::cli {

// The unit as a table a person can read; a value no unit reports is marked "!".
QString formatUnitTable(const UnitImage& unit, const MemoryUnitView& view);

}  // namespace meridan::cli
