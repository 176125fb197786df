#include <vesk/decoder.h>

#include "codecparametersimage.h"
#include "decoder_p.h"
#include "messageheader.h"
#include "messagepacketentry.h"
#include "messagepacketsidedataentry.h"

#include <vesk/averror.h>
#include <vesk/log/manager.h>
#include <vesk/pointer.h>

extern "C" {
#include <libavutil/mem.h>
}

#include <algorithm>
#include <climits>
#include <cstring>

namespace vesk {

using detail::MessageHeader;
using detail::MessagePacketEntry;

namespace {

// Largest payload av_new_packet can allocate; a longer one is read as not fitting.
constexpr std::uint32_t maxPayload = INT_MAX - AV_INPUT_BUFFER_PADDING_SIZE;

// Keeps one copy of a blob that consecutive messages repeat.
void share(QByteArray& value, const QByteArray& known)
{
    if (value == known)
        value = known;
}

// What the packet table would hand out: each packet and side-data entry, and each byte of data
// they name that would be copied. An honest message holds all of it once, so the sum never
// exceeds its length; entries that name one range many times would make a small message expand
// without limit. Stops counting as soon as the sum exceeds the message.
//   one packet of 4 bytes, no side data, 72-byte message   -> 36 + 4 = 40: taken
//   65535 packets naming one 900 KB range, 920 KB message -> over 920 KB after two: refused
//   one packet with 65535 empty side-data items sharing one 12-byte entry -> refused
std::uint64_t claimedBytes(std::span<const std::uint8_t> message, const MessageHeader& header)
{
    std::uint64_t claimed = 0;
    if (!header.packets.fits(message))
        return claimed;
    for (std::size_t i = 0; i < header.packets.count && claimed <= message.size(); ++i) {
        const MessagePacketEntry entry = header.packets.at(message, i);
        claimed += MessagePacketEntry::size;
        if (entry.data.length <= maxPayload && entry.data.fits(message))
            claimed += entry.data.length;
        if (!entry.sideData.fits(message))
            continue;
        for (std::size_t j = 0; j < entry.sideData.count && claimed <= message.size(); ++j) {
            const auto item = entry.sideData.at(message, j);
            claimed += detail::MessagePacketSideDataEntry::size
                + (item.data.fits(message) ? item.data.length : 0);
        }
    }
    return claimed;
}

} // namespace

Decoder::Private::Private()
    : m_logger(log::Manager::logger(QStringLiteral("vesk.decoder")))
{
}

int Decoder::Private::buildParameters(
    const QByteArray& image, const QByteArray& extradata, AVCodecParameters** out)
{
    CodecParametersPointer parameters(avcodec_parameters_alloc());
    if (!parameters)
        return AVERROR(ENOMEM);
    const int stated = detail::CodecParametersImage::applyTo(image, parameters.get());
    const int size = static_cast<int>(std::clamp<qsizetype>(stated, 0, extradata.size()));
    if (size > 0) {
        parameters->extradata = static_cast<std::uint8_t*>(
            av_mallocz(static_cast<std::size_t>(size) + AV_INPUT_BUFFER_PADDING_SIZE));
        if (!parameters->extradata)
            return AVERROR(ENOMEM);
        std::memcpy(parameters->extradata, extradata.constData(), static_cast<std::size_t>(size));
    }
    parameters->extradata_size = size;
    *out = parameters.release();
    return 0;
}

Decoder::Decoder()
    : m_d(std::make_unique<Private>())
{
}
Decoder::Decoder(Decoder&& other) noexcept = default;
Decoder& Decoder::operator=(Decoder&& other) noexcept = default;
Decoder::~Decoder() = default;

void Decoder::addMessage(std::span<const std::uint8_t> message)
{
    if (message.size() < MessageHeader::size)
        return;
    const MessageHeader header = MessageHeader::read(message.data());
    // Refused before anything is copied.
    if (claimedBytes(message, header) > message.size()) {
        m_d->m_logger->debug(
            "message of %1 bytes refused: its packets claim more bytes than it has",
            qulonglong(message.size()));
        return;
    }

    QByteArray metadata = header.metadata.bytesIn(message);
    QByteArray codecParameters = header.codecParameters.bytesIn(message);
    QByteArray extradata = header.extradata.bytesIn(message);
    if (m_d->m_packets.isEmpty()) {
        share(metadata, m_d->m_metadata);
        share(codecParameters, m_d->m_codecParameters);
        share(extradata, m_d->m_extradata);
    } else {
        const Private::Packet& last = m_d->m_packets.last();
        share(metadata, last.metadata);
        share(codecParameters, last.codecParameters);
        share(extradata, last.extradata);
    }

    if (!header.packets.fits(message))
        return;
    for (std::size_t i = 0; i < header.packets.count; ++i) {
        const MessagePacketEntry entry = header.packets.at(message, i);
        Private::Packet packet;
        packet.pts = entry.pts;
        packet.dts = entry.dts;
        packet.flags = entry.flags;
        if (entry.data.length <= maxPayload)
            packet.data = entry.data.bytesIn(message);
        if (entry.sideData.fits(message)) {
            packet.sideData.reserve(entry.sideData.count);
            for (std::size_t j = 0; j < entry.sideData.count; ++j) {
                const auto item = entry.sideData.at(message, j);
                // Only types this libavcodec knows can be attached to an AVPacket.
                if (item.type < 0 || item.type >= AV_PKT_DATA_NB)
                    continue;
                packet.sideData.append(
                    { static_cast<AVPacketSideDataType>(item.type), item.data.bytesIn(message) });
            }
        }
        packet.codecParameters = codecParameters;
        packet.extradata = extradata;
        packet.metadata = metadata;
        m_d->m_packets.insert(packet.dts, std::move(packet));
    }
}

int Decoder::readPacket(AVPacket* packet, AVCodecParameters** codecOut)
{
    if (!packet)
        return AVERROR(EINVAL);
    av_packet_unref(packet);
    if (m_d->m_packets.isEmpty())
        return AVERROR(EAGAIN);

    const auto next = m_d->m_packets.begin();
    Private::Packet& queued = next.value();
    const bool changed = (queued.flags & MessagePacketEntry::codecChangeFlag)
        || queued.codecParameters != m_d->m_codecParameters || queued.extradata != m_d->m_extradata;

    // Nothing changes state until the packet is handed out: a failed call leaves the change to be
    // reported again by the next one.
    CodecParametersPointer parameters;
    if (changed) {
        if (!codecOut) {
            queued.flags &= ~MessagePacketEntry::codecChangeFlag;
            return AVERROR_INPUT_CHANGED;
        }
        if (!queued.codecParameters.isEmpty()) {
            AVCodecParameters* built = nullptr;
            if (const int ret
                = Private::buildParameters(queued.codecParameters, queued.extradata, &built);
                ret < 0)
                return ret;
            parameters.reset(built);
        }
    }

    PacketPointer built(av_packet_alloc());
    if (!built)
        return AVERROR(ENOMEM);
    if (const int ret = av_new_packet(built.get(), static_cast<int>(queued.data.size())); ret < 0) {
        m_d->m_logger->debug("Невозможно аллоцировать память для нового пакета: %1",
            QString::fromStdString(AvError::errorString(ret)));
        return ret;
    }
    if (!queued.data.isEmpty())
        std::memcpy(
            built->data, queued.data.constData(), static_cast<std::size_t>(queued.data.size()));
    built->flags = static_cast<int>(queued.flags & ~MessagePacketEntry::codecChangeFlag);
    built->pts = queued.pts;
    built->dts = queued.dts;
    for (const auto& [type, bytes] : queued.sideData) {
        std::uint8_t* data
            = av_packet_new_side_data(built.get(), type, static_cast<std::size_t>(bytes.size()));
        if (!data)
            return AVERROR(ENOMEM);
        if (!bytes.isEmpty())
            std::memcpy(data, bytes.constData(), static_cast<std::size_t>(bytes.size()));
    }

    av_packet_move_ref(packet, built.get());
    if (changed) {
        m_d->m_codecParameters = queued.codecParameters;
        m_d->m_extradata = queued.extradata;
        if (parameters) {
            avcodec_parameters_free(codecOut);
            *codecOut = parameters.release();
        }
    }
    m_d->m_metadata = queued.metadata;
    m_d->m_packets.erase(next);
    return 0;
}

int Decoder::getCodec(AVCodecParameters** out) const
{
    if (!out)
        return AVERROR(EINVAL);
    avcodec_parameters_free(out);
    const Private::Packet* next = m_d->m_packets.isEmpty() ? nullptr : &m_d->m_packets.first();
    const QByteArray& image = next ? next->codecParameters : m_d->m_codecParameters;
    const QByteArray& extradata = next ? next->extradata : m_d->m_extradata;
    if (image.isEmpty()) {
        m_d->m_codecParameters = image;
        m_d->m_extradata = extradata;
        return AVERROR(EAGAIN);
    }
    // The configuration becomes current only once the caller has parameters for it; after a
    // failure readPacket still reports the change.
    if (const int ret = Private::buildParameters(image, extradata, out); ret < 0)
        return ret;
    m_d->m_codecParameters = image;
    m_d->m_extradata = extradata;
    return 0;
}

std::optional<QJsonDocument> Decoder::getMetaData() const
{
    if (!m_d->m_packets.isEmpty())
        m_d->m_metadata = m_d->m_packets.first().metadata;
    if (m_d->m_metadata.isEmpty())
        return std::nullopt;
    return QJsonDocument::fromJson(m_d->m_metadata);
}

std::optional<QJsonDocument> Decoder::metaDataOf(std::span<const std::uint8_t> message)
{
    if (message.size() < MessageHeader::size)
        return std::nullopt;
    const QByteArray metadata = MessageHeader::read(message.data()).metadata.bytesIn(message);
    if (metadata.isEmpty())
        return std::nullopt;
    return QJsonDocument::fromJson(metadata);
}

} // namespace vesk
