#include "timestamp.h"

#include <cstring>
#include <ctime>
#include <limits>

namespace vesk::log::detail {

namespace {

// Writes value as `width` decimal digits, with leading zeros.
char* putDigits(char* out, int value, int width)
{
    for (int i = width - 1; i >= 0; --i) {
        out[i] = char('0' + value % 10);
        value /= 10;
    }
    return out + width;
}

} // namespace

TimeStamp localTimeStamp()
{
    // "yyyy-MM-ddTHH:mm:ss" of the second in cachedSecond.
    thread_local std::time_t cachedSecond = std::numeric_limits<std::time_t>::min();
    thread_local char cached[19];

    timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    if (now.tv_sec != cachedSecond) {
        // Zone offsets change on whole seconds, so the text stays right for the whole second.
        // tzset() picks up a changed TZ, as Qt does before each conversion.
        ::tzset();
        std::tm local {};
        ::localtime_r(&now.tv_sec, &local);
        char* out = putDigits(cached, local.tm_year + 1900, 4);
        *out++ = '-';
        out = putDigits(out, local.tm_mon + 1, 2);
        *out++ = '-';
        out = putDigits(out, local.tm_mday, 2);
        *out++ = 'T';
        out = putDigits(out, local.tm_hour, 2);
        *out++ = ':';
        out = putDigits(out, local.tm_min, 2);
        *out++ = ':';
        putDigits(out, local.tm_sec, 2);
        cachedSecond = now.tv_sec;
    }

    TimeStamp stamp;
    std::memcpy(stamp.data(), cached, sizeof cached);
    stamp[19] = '.';
    putDigits(stamp.data() + 20, int(now.tv_nsec / 1'000'000), 3);
    return stamp;
}

} // namespace vesk::log::detail
