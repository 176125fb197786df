// Internal to libvesk_stream, not API.
#pragma once

#include "streampacer.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <QString>

#include <functional>
#include <memory>

namespace vesk::detail {

// Reads the packets of one media file without decoding them: opens it, chooses the stream to send
// (the best video stream, else the best audio stream), seeks and reads that stream's packets.
// Errors are negative libav codes, described by errorText.
class StreamDemuxer
{
public:
    // `interrupted` is asked during blocking reads; true ends them.
    explicit StreamDemuxer(std::function<bool()> interrupted);

    // Empty on success, else what went wrong.
    QString open(const QString& path);
    const AVCodecParameters* parameters() const;
    StreamPacer::Timing timing() const;
    // Moves to the key frame at or before `ts` of the chosen stream.
    int seek(std::int64_t ts);
    // Moves back to the file's first packet.
    int rewind();
    // The next packet of the chosen stream; AVERROR_EOF at the end.
    int read(AVPacket* packet);

    static QString errorText(int code);

private:
    struct InputClose
    {
        void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
    };

    std::function<bool()> m_interrupted;
    std::unique_ptr<AVFormatContext, InputClose> m_input;
    int m_index = -1;
};

} // namespace vesk::detail
