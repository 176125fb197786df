// Private to libvesk_log, not API: the time stamp of a log line.
#pragma once

#include <array>

namespace vesk::log::detail {

// The current local time as "2024-03-01T09:15:02.347", the text of
// QDateTime::currentDateTime().toString(Qt::ISODateWithMs), without its cost: the date and time
// of day are converted once a second per thread, and a zone change (TZ, /etc/localtime) is seen
// at the next second.
using TimeStamp = std::array<char, 23>;
TimeStamp localTimeStamp();

} // namespace vesk::log::detail
