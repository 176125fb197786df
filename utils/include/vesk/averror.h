#pragma once

#include <string>

namespace vesk {

// Texts for the negative error codes of the ffmpeg libraries.
class AvError
{
public:
    AvError() = delete;

    // libavutil's description of `code` (av_strerror), in UTF-8; a generic text naming the number
    // for a code libavutil does not know.
    static std::string errorString(int code);
};

} // namespace vesk
