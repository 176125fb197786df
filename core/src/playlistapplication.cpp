#include <vesk/core.h>

namespace vesk {

void Core::onPlaylistChanged() { }

} // namespace vesk
