#include <vesk/averror.h>

extern "C" {
#include <libavutil/error.h>
}

#include <cstdio>

// Resolved weakly: the text comes from the libavutil that a program using ffmpeg has loaded
// anyway, while programs that never touch ffmpeg (vesk-status, vesk-manage) do not load it for
// a function they never call.
#pragma weak av_strerror

namespace vesk {

std::string AvError::errorString(int code)
{
    char buffer[AV_ERROR_MAX_STRING_SIZE] = {};
    // For an unknown code av_strerror still writes a generic text naming the number; without
    // libavutil in the process the same text is written here.
    if (av_strerror != nullptr)
        av_strerror(code, buffer, sizeof buffer);
    else
        std::snprintf(buffer, sizeof buffer, "Error number %d occurred", code);
    return std::string(buffer);
}

} // namespace vesk
