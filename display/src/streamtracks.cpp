#include "streamtracks.h"

#include <vesk/protocol/timetext.h>

#include "peertext.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/crc.h>
}

#include <QJsonDocument>
#include <QJsonObject>

#include <limits>
#include <optional>
#include <span>

namespace vesk::display {

namespace {

QByteArray timestamp(std::int64_t value)
{
    return value == AV_NOPTS_VALUE ? QByteArray("N/A") : QByteArray::number(value);
}

QByteArray field(const QString& text)
{
    // Whole: a url is at most a path's length, and the lines are for tools as much as for people.
    return peerText(text, std::numeric_limits<qsizetype>::max());
}

} // namespace

StreamTracks::StreamTracks(std::FILE* lines, MediaWriter* writer)
    : m_lines(lines)
    , m_writer(writer)
{
}

bool StreamTracks::read(const QByteArray& message, QString& error)
{
    const std::span<const std::uint8_t> bytes(
        reinterpret_cast<const std::uint8_t*>(message.constData()), std::size_t(message.size()));
    const QJsonDocument document = Decoder::metaDataOf(bytes).value_or(QJsonDocument());
    const std::optional<StreamMetadata> metadata = StreamMetadata::fromJson(document);
    if (!metadata) {
        const QString name = document.object().value("track").toString();
        if (!streamTrackFromName(name)) {
            if (!m_unknownTrack)
                std::fprintf(stderr, "vesk-display: messages of the track '%s' are left out\n",
                    peerText(name, 32).constData());
            m_unknownTrack = true;
        } else {
            if (!m_unreadable)
                std::fprintf(stderr,
                    "vesk-display: messages without a time base or slot times are left out\n");
            m_unreadable = true;
        }
        return true;
    }
    Track& track = m_tracks[metadata->track];
    track.decoder.addMessage(bytes);
    PacketPointer packet(av_packet_alloc());
    if (!packet) {
        error = "out of memory";
        return false;
    }
    // The decoder is emptied after every message, so what it hands out now came with this one.
    bool ok = true;
    while (ok) {
        // A fresh output each time: freed and new parameters may share an address.
        AVCodecParameters* fresh = nullptr;
        if (track.decoder.readPacket(packet.get(), &fresh) != 0)
            break;
        if (fresh) {
            track.parameters.reset(fresh);
            ok = configure(track, *metadata, error);
        }
        if (ok)
            ok = output(track, packet.get(), *metadata, error);
        av_packet_unref(packet.get());
    }
    return ok;
}

bool StreamTracks::configure(Track& track, const StreamMetadata& metadata, QString& error)
{
    track.timeBase = { metadata.timeBase.num, metadata.timeBase.den };
    const AVCodecParameters* parameters = track.parameters.get();
    if (m_lines) {
        const QByteArray shape = metadata.track == StreamTrack::video
            ? QByteArray("width=") + QByteArray::number(parameters->width)
                + " height=" + QByteArray::number(parameters->height)
            : QByteArray("sample_rate=") + QByteArray::number(parameters->sample_rate)
                + " channels=" + QByteArray::number(parameters->ch_layout.nb_channels);
        std::fprintf(m_lines,
            "codec=%s track=%s %s timebase=%d/%d url=%s playlist=%s file=%s start=%s end=%s "
            "placeholder=%d\n",
            avcodec_get_name(parameters->codec_id),
            streamTrackName(metadata.track).toUtf8().constData(), shape.constData(),
            track.timeBase.num, track.timeBase.den, field(metadata.slot.url).constData(),
            field(metadata.playlist).constData(), field(metadata.file).constData(),
            protocol::wireTime(metadata.slot.start).toUtf8().constData(),
            protocol::wireTime(metadata.slot.end).toUtf8().constData(), metadata.placeholder ? 1 : 0);
        std::fflush(m_lines);
    }
    return !m_writer
        || m_writer->begin(
            { metadata.track, parameters, track.timeBase, metadata.slot, metadata.tracks }, error);
}

bool StreamTracks::output(
    const Track& track, const AVPacket* packet, const StreamMetadata& metadata, QString& error)
{
    ++m_packets;
    if (m_lines) {
        const std::uint32_t crc = ~av_crc(av_crc_get_table(AV_CRC_32_IEEE_LE), UINT32_MAX,
            packet->data, std::size_t(packet->size));
        std::fprintf(m_lines, "dts=%s pts=%s flags=%c%c size=%d crc32=%08x track=%s\n",
            timestamp(packet->dts).constData(), timestamp(packet->pts).constData(),
            packet->flags & AV_PKT_FLAG_KEY ? 'K' : '_',
            packet->flags & AV_PKT_FLAG_DISCARD ? 'D' : '_', packet->size, crc,
            streamTrackName(metadata.track).toUtf8().constData());
        std::fflush(m_lines);
    }
    return !m_writer || !track.parameters
        || m_writer->write(metadata.track, metadata.slot, packet, error);
}

} // namespace vesk::display
