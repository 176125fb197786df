// Internal to libvesk_stream, not API.
#pragma once

#include <vesk/file/descriptor.h>
#include <vesk/streamtrack.h>

extern "C" {
#include <libavformat/avformat.h>
}

#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace vesk::detail {

// Reads the packets of one media file without decoding them. The file is read through its
// descriptor alone: no path, no protocol, and a demuxer that asks to open anything else (a
// playlist's segments, a reference to another file) is refused. Only containers of
// allowedFormats() are opened, none of which names other files. Of the file's streams it sends
// the best video stream and, unless told to stay silent, the best audio stream (the one the file
// ties to that video, when it says). Errors are negative libav codes, described by errorText.
class StreamDemuxer
{
public:
    struct Track
    {
        StreamTrack kind = StreamTrack::video;
        // Index of the stream in the file.
        int stream = -1;
        const AVCodecParameters* parameters = nullptr;
        AVRational timeBase { 1, 90000 };
        // What a packet that states no duration lasts, in timeBase units, at least 1.
        std::int64_t frameTicks = 1;
    };

    // `interrupted` is asked during blocking reads; true ends them.
    explicit StreamDemuxer(std::function<bool()> interrupted);
    ~StreamDemuxer();
    StreamDemuxer(const StreamDemuxer&) = delete;
    StreamDemuxer& operator=(const StreamDemuxer&) = delete;

    // Takes the descriptor. Empty on success, else what went wrong, fit for a log line.
    QString open(file::Descriptor media, bool withSound);
    // The leading track first: video when the file has it, else audio.
    const std::vector<Track>& tracks() const { return m_tracks; }
    // The leading track's first time stamp, in microseconds.
    std::int64_t startUs() const;
    // One pass of the file as the container states it, in microseconds; 0 when it does not.
    std::int64_t lengthUs() const;
    // Moves to the leading track's key frame at or before `us` (file time, microseconds).
    int seek(std::int64_t us);
    // Moves back to the file's first packet.
    int rewind();
    // The next packet of one of the tracks, `track` its position in tracks(); a packet that states
    // no duration gets the track's frameTicks. AVERROR_EOF at the end.
    int read(AVPacket* packet, std::size_t& track);

    static QString errorText(int code);
    // libavformat's names of the demuxers that may read a delivered file.
    static const QStringList& allowedFormats();

private:
    struct Input;

    QString select(bool withSound);

    std::function<bool()> m_interrupted;
    std::unique_ptr<Input> m_input;
    std::vector<Track> m_tracks;
    // Track position by stream index; -1 for a stream that is not sent.
    std::vector<int> m_trackOf;
};

} // namespace vesk::detail
