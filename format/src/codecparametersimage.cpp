#include "codecparametersimage.h"

#include "littleendian.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace vesk::detail {
namespace {

// Enumerations are read and written by their bits: a received image may hold values the local
// enumeration does not have, and converting those through the enum type is undefined.
template <typename Field> std::int32_t bitsOf(const Field& field)
{
    static_assert(sizeof(Field) == sizeof(std::int32_t));
    std::int32_t value;
    std::memcpy(&value, &field, sizeof value);
    return value;
}

template <typename Field> void setBits(Field& field, std::int32_t value)
{
    static_assert(sizeof(Field) == sizeof(std::int32_t));
    std::memcpy(&field, &value, sizeof value);
}

bool carriesMask(std::int32_t order)
{
    return order == AV_CHANNEL_ORDER_NATIVE || order == AV_CHANNEL_ORDER_AMBISONIC;
}

} // namespace

QByteArray CodecParametersImage::fromParameters(const AVCodecParameters& p)
{
    QByteArray image(size, '\0');
    auto* b = reinterpret_cast<std::uint8_t*>(image.data());
    storeLittleEndian(b + 0, bitsOf(p.codec_type));
    storeLittleEndian(b + 4, bitsOf(p.codec_id));
    storeLittleEndian(b + 8, p.codec_tag);
    storeLittleEndian(b + 24, p.extradata_size);
    storeLittleEndian(b + 28, p.format);
    storeLittleEndian(b + 32, p.bit_rate);
    storeLittleEndian(b + 40, p.bits_per_coded_sample);
    storeLittleEndian(b + 44, p.bits_per_raw_sample);
    storeLittleEndian(b + 48, p.profile);
    storeLittleEndian(b + 52, p.level);
    storeLittleEndian(b + 56, p.width);
    storeLittleEndian(b + 60, p.height);
    storeLittleEndian(b + 64, p.sample_aspect_ratio.num);
    storeLittleEndian(b + 68, p.sample_aspect_ratio.den);
    storeLittleEndian(b + 72, bitsOf(p.field_order));
    storeLittleEndian(b + 76, bitsOf(p.color_range));
    storeLittleEndian(b + 80, bitsOf(p.color_primaries));
    storeLittleEndian(b + 84, bitsOf(p.color_trc));
    storeLittleEndian(b + 88, bitsOf(p.color_space));
    storeLittleEndian(b + 92, bitsOf(p.chroma_location));
    storeLittleEndian(b + 96, p.video_delay);
#if FF_API_OLD_CHANNEL_LAYOUT
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    storeLittleEndian(b + 104, p.channel_layout);
    storeLittleEndian(b + 112, p.channels);
#pragma GCC diagnostic pop
#endif
    storeLittleEndian(b + 116, p.sample_rate);
    storeLittleEndian(b + 120, p.block_align);
    storeLittleEndian(b + 124, p.frame_size);
    storeLittleEndian(b + 128, p.initial_padding);
    storeLittleEndian(b + 132, p.trailing_padding);
    storeLittleEndian(b + 136, p.seek_preroll);
    const std::int32_t order = bitsOf(p.ch_layout.order);
    storeLittleEndian(b + 144, order);
    storeLittleEndian(b + 148, p.ch_layout.nb_channels);
    if (carriesMask(order))
        storeLittleEndian(b + 152, p.ch_layout.u.mask);
    return image;
}

int CodecParametersImage::applyTo(QByteArrayView image, AVCodecParameters* p)
{
    QByteArray full = fromParameters(*p);
    if (!image.isEmpty())
        std::memcpy(
            full.data(), image.data(), static_cast<std::size_t>(std::min(image.size(), size)));
    const auto* b = reinterpret_cast<const std::uint8_t*>(full.constData());

    setBits(p->codec_type, loadLittleEndian<std::int32_t>(b + 0));
    setBits(p->codec_id, loadLittleEndian<std::int32_t>(b + 4));
    p->codec_tag = loadLittleEndian<std::uint32_t>(b + 8);
    p->format = loadLittleEndian<std::int32_t>(b + 28);
    p->bit_rate = loadLittleEndian<std::int64_t>(b + 32);
    p->bits_per_coded_sample = loadLittleEndian<std::int32_t>(b + 40);
    p->bits_per_raw_sample = loadLittleEndian<std::int32_t>(b + 44);
    p->profile = loadLittleEndian<std::int32_t>(b + 48);
    p->level = loadLittleEndian<std::int32_t>(b + 52);
    p->width = loadLittleEndian<std::int32_t>(b + 56);
    p->height = loadLittleEndian<std::int32_t>(b + 60);
    p->sample_aspect_ratio.num = loadLittleEndian<std::int32_t>(b + 64);
    p->sample_aspect_ratio.den = loadLittleEndian<std::int32_t>(b + 68);
    setBits(p->field_order, loadLittleEndian<std::int32_t>(b + 72));
    setBits(p->color_range, loadLittleEndian<std::int32_t>(b + 76));
    setBits(p->color_primaries, loadLittleEndian<std::int32_t>(b + 80));
    setBits(p->color_trc, loadLittleEndian<std::int32_t>(b + 84));
    setBits(p->color_space, loadLittleEndian<std::int32_t>(b + 88));
    setBits(p->chroma_location, loadLittleEndian<std::int32_t>(b + 92));
    p->video_delay = loadLittleEndian<std::int32_t>(b + 96);
#if FF_API_OLD_CHANNEL_LAYOUT
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    p->channel_layout = loadLittleEndian<std::uint64_t>(b + 104);
    p->channels = loadLittleEndian<std::int32_t>(b + 112);
#pragma GCC diagnostic pop
#endif
    p->sample_rate = loadLittleEndian<std::int32_t>(b + 116);
    p->block_align = loadLittleEndian<std::int32_t>(b + 120);
    p->frame_size = loadLittleEndian<std::int32_t>(b + 124);
    p->initial_padding = loadLittleEndian<std::int32_t>(b + 128);
    p->trailing_padding = loadLittleEndian<std::int32_t>(b + 132);
    p->seek_preroll = loadLittleEndian<std::int32_t>(b + 136);

    // Only a mask can travel; a custom map would be a pointer into the sender's memory. Freeing the
    // parameters frees the map of a custom layout, so never leave one behind.
    av_channel_layout_uninit(&p->ch_layout);
    const std::int32_t order = loadLittleEndian<std::int32_t>(b + 144);
    p->ch_layout.nb_channels = loadLittleEndian<std::int32_t>(b + 148);
    if (carriesMask(order)) {
        setBits(p->ch_layout.order, order);
        p->ch_layout.u.mask = loadLittleEndian<std::uint64_t>(b + 152);
    } else {
        p->ch_layout.order = AV_CHANNEL_ORDER_UNSPEC;
        p->ch_layout.u.mask = 0;
    }
    p->ch_layout.opaque = nullptr;

    return loadLittleEndian<std::int32_t>(b + 24);
}

} // namespace vesk::detail
