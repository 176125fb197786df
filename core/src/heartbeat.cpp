#include <vesk/core.h>

namespace vesk {

void Core::onHeartbeat() { }

} // namespace vesk
