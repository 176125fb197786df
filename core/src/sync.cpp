#include <vesk/core.h>

namespace vesk {

void Core::onSync() { }

} // namespace vesk
