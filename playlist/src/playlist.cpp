#include <vesk/playlist/playlist.h>

#include <mutex>

namespace vesk {

void Playlist::registerMetaTypes()
{
    static std::once_flag once;
    std::call_once(once, [] {
        qRegisterMetaType<Playlist::WeekDays>("vesk::Playlist::WeekDays");
        qRegisterMetaType<std::chrono::seconds>("std::chrono::seconds");
    });
}

} // namespace vesk
