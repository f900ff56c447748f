#include "port.h"

namespace meridan {

Port::~Port() = default;

}  // namespace meridan
