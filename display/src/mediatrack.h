// Internal to vesk-display, not API.
#pragma once

extern "C" {
#include <libavcodec/bsf.h>
#include <libavcodec/codec_par.h>
#include <libavcodec/packet.h>
#include <libavformat/avformat.h>
}

#include <vesk/pointer.h>
#include <vesk/streamtrack.h>

#include <QString>

#include <functional>

namespace vesk::display {

// One track of a recording: the codec parameters the sender stated, the bitstream filter the
// container needs for them, and the track's stream in the file. Packets as MP4 stores them (H.264
// and H.265 as NAL units behind length prefixes, AAC without headers) are turned into start-code
// form and ADTS for MPEG-TS; AAC with ADTS headers loses them for the containers that keep its
// configuration apart. Each filter passes packets through that are in the form wanted already.
class MediaTrack
{
public:
    using Mux = std::function<bool(AVPacket* packet, QString& error)>;

    // Copies the parameters; check valid().
    MediaTrack(StreamTrack kind, const AVCodecParameters* parameters, AVRational timeBase);
    MediaTrack(const MediaTrack&) = delete;
    MediaTrack& operator=(const MediaTrack&) = delete;

    bool valid() const { return bool(m_parameters); }
    StreamTrack kind() const { return m_kind; }
    // The unit of the packets given to send().
    AVRational timeBase() const { return m_timeBase; }
    // The unit of the packets handed to the mux function.
    AVRational filteredTimeBase() const { return m_filter ? m_filter->time_base_out : m_timeBase; }
    // The track's stream in the file, -1 before addTo.
    int stream() const { return m_stream; }

    // Adds the track's stream to `context` before its header is written, with the filter its
    // container needs. False, with `error` set, when that fails (`name` is the file's, for it).
    bool addTo(AVFormatContext* context, const QString& name, QString& error);
    // False for a packet whose dts does not grow, which no muxer takes: it is left out.
    bool takes(const AVPacket* packet);
    // Passes `packet` (null: the end of the track) through the filter to `mux`, with the
    // track's stream index set.
    bool send(AVPacket* packet, const Mux& mux, QString& error);

private:
    using Filter = Pointer<AVBSFContext, pointer::Function<av_bsf_free>>;

    StreamTrack m_kind;
    CodecParametersPointer m_parameters;
    AVRational m_timeBase;
    Filter m_filter;
    PacketPointer m_filtered;
    int m_stream = -1;
    std::int64_t m_lastDts = AV_NOPTS_VALUE;
};

} // namespace vesk::display
