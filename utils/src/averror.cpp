#include <vesk/averror.h>

extern "C" {
#include <libavutil/error.h>
}

namespace vesk {

std::string AvError::errorString(int code)
{
    char buffer[AV_ERROR_MAX_STRING_SIZE] = {};
    // For an unknown code av_strerror still writes a generic text naming the number.
    av_strerror(code, buffer, sizeof buffer);
    return std::string(buffer);
}

} // namespace vesk
