#include "streamtracks.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/crc.h>
}

#include <QJsonArray>
#include <QJsonDocument>
#include <QStringList>

#include <optional>
#include <span>
#include <vector>

namespace vesk::display {

namespace {

AVRational timeBaseOf(const QJsonObject& metadata)
{
    const QStringList parts = metadata.value("timeBase").toString().split('/');
    if (parts.size() == 2) {
        const int num = parts[0].toInt();
        const int den = parts[1].toInt();
        if (num > 0 && den > 0)
            return { num, den };
    }
    return { 1, 90000 };
}

QByteArray timestamp(std::int64_t value)
{
    return value == AV_NOPTS_VALUE ? QByteArray("N/A") : QByteArray::number(value);
}

// What tells the sender's slots apart: a packet of another slot belongs to another file.
QString slotOf(const QJsonObject& metadata)
{
    return QStringList { metadata.value("start").toString(), metadata.value("end").toString(),
        metadata.value("url").toString() }
        .join(' ');
}

// The tracks the slot brings, as far as this display knows them.
std::vector<StreamTrack> tracksOf(const QJsonObject& metadata)
{
    std::vector<StreamTrack> tracks;
    for (const QJsonValue& name : metadata.value("tracks").toArray())
        if (const std::optional<StreamTrack> track = streamTrackFromName(name.toString()))
            tracks.push_back(*track);
    return tracks;
}

QByteArray field(const QJsonObject& metadata, const char* name)
{
    return StreamTracks::printable(metadata.value(name).toString());
}

} // namespace

StreamTracks::StreamTracks(std::FILE* lines, MediaWriter* writer)
    : m_lines(lines)
    , m_writer(writer)
{
}

//   "clips/a.mp4"          -> clips/a.mp4
//   "Реклама 1.mp4"        -> Реклама%201.mp4
//   "a\nb%"                -> a%0Ab%25
//   "\u009b2J"             -> %C2%9B2J      (a control character of the upper half)
QByteArray StreamTracks::printable(const QString& text)
{
    QByteArray out;
    for (const char32_t c : text.toUcs4()) {
        const QByteArray bytes = QString::fromUcs4(&c, 1).toUtf8();
        if (c > ' ' && c != '%' && (c < 0x7f || c > 0x9f)) {
            out += bytes;
            continue;
        }
        for (const char byte : bytes)
            out += '%'
                + QByteArray::number(static_cast<unsigned char>(byte), 16)
                      .rightJustified(2, '0')
                      .toUpper();
    }
    return out;
}

bool StreamTracks::read(const QByteArray& message, QString& error)
{
    const std::span<const std::uint8_t> bytes(
        reinterpret_cast<const std::uint8_t*>(message.constData()), std::size_t(message.size()));
    const QString name
        = Decoder::metaDataOf(bytes).value_or(QJsonDocument()).object().value("track").toString();
    const std::optional<StreamTrack> kind = streamTrackFromName(name);
    if (!kind) {
        if (!m_unknownTrack)
            std::fprintf(stderr, "vesk-display: messages of the track '%s' are left out\n",
                printable(name.left(32)).constData());
        m_unknownTrack = true;
        return true;
    }
    Track& track = m_tracks[*kind];
    track.decoder.addMessage(bytes);
    PacketPointer packet(av_packet_alloc());
    if (!packet) {
        error = "out of memory";
        return false;
    }
    bool ok = true;
    while (ok) {
        const std::optional<QJsonDocument> document = track.decoder.getMetaData();
        const QJsonObject metadata = document ? document->object() : QJsonObject();
        // A fresh output each time: freed and new parameters may share an address.
        AVCodecParameters* fresh = nullptr;
        if (track.decoder.readPacket(packet.get(), &fresh) != 0)
            break;
        if (fresh) {
            track.parameters.reset(fresh);
            ok = configure(*kind, track, metadata, error);
        }
        if (ok)
            ok = output(*kind, track, packet.get(), metadata, error);
        av_packet_unref(packet.get());
    }
    return ok;
}

bool StreamTracks::configure(
    StreamTrack kind, Track& track, const QJsonObject& metadata, QString& error)
{
    track.timeBase = timeBaseOf(metadata);
    const AVCodecParameters* parameters = track.parameters.get();
    if (m_lines) {
        const QByteArray shape = kind == StreamTrack::video
            ? QByteArray("width=") + QByteArray::number(parameters->width)
                + " height=" + QByteArray::number(parameters->height)
            : QByteArray("sample_rate=") + QByteArray::number(parameters->sample_rate)
                + " channels=" + QByteArray::number(parameters->ch_layout.nb_channels);
        std::fprintf(m_lines,
            "codec=%s track=%s %s timebase=%d/%d url=%s playlist=%s file=%s start=%s end=%s "
            "placeholder=%d\n",
            avcodec_get_name(parameters->codec_id), streamTrackName(kind).toUtf8().constData(),
            shape.constData(), track.timeBase.num, track.timeBase.den,
            field(metadata, "url").constData(), field(metadata, "playlist").constData(),
            field(metadata, "file").constData(), field(metadata, "start").constData(),
            field(metadata, "end").constData(), metadata.value("placeholder").toBool() ? 1 : 0);
        std::fflush(m_lines);
    }
    return !m_writer
        || m_writer->begin(
            { kind, parameters, track.timeBase, slotOf(metadata), tracksOf(metadata) }, error);
}

bool StreamTracks::output(StreamTrack kind, const Track& track, const AVPacket* packet,
    const QJsonObject& metadata, QString& error)
{
    ++m_packets;
    if (m_lines) {
        const std::uint32_t crc = ~av_crc(av_crc_get_table(AV_CRC_32_IEEE_LE), UINT32_MAX,
            packet->data, std::size_t(packet->size));
        std::fprintf(m_lines, "dts=%s pts=%s flags=%c%c size=%d crc32=%08x track=%s\n",
            timestamp(packet->dts).constData(), timestamp(packet->pts).constData(),
            packet->flags & AV_PKT_FLAG_KEY ? 'K' : '_',
            packet->flags & AV_PKT_FLAG_DISCARD ? 'D' : '_', packet->size, crc,
            streamTrackName(kind).toUtf8().constData());
        std::fflush(m_lines);
    }
    return !m_writer || !track.parameters || m_writer->write(kind, slotOf(metadata), packet, error);
}

} // namespace vesk::display
