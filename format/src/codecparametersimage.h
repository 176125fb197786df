// Internal to libvesk_format, not API.
#pragma once

extern "C" {
#include <libavcodec/codec_par.h>
}

#include <QByteArray>
#include <QByteArrayView>

namespace vesk::detail {

// The 168-byte form in which codec parameters travel: little-endian, field by field at fixed
// offsets, independent of how the local libavcodec lays out AVCodecParameters. Pointers travel as
// zero bytes (extradata at 16, the channel map or mask at 152 when the order is custom, opaque at
// 160); extradata travels beside the image.
//
//   offset: field                      offset: field
//     0 codec_type i32                    76 color_range i32
//     4 codec_id i32                      80 color_primaries i32
//     8 codec_tag u32                     84 color_trc i32
//    12 zero                              88 color_space i32
//    16 extradata pointer, zero           92 chroma_location i32
//    24 extradata_size i32                96 video_delay i32
//    28 format i32                       100 zero
//    32 bit_rate i64                     104 channel_layout (old form) u64
//    40 bits_per_coded_sample i32        112 channels (old form) i32
//    44 bits_per_raw_sample i32          116 sample_rate i32
//    48 profile i32                      120 block_align i32
//    52 level i32                        124 frame_size i32
//    56 width i32                        128 initial_padding i32
//    60 height i32                       132 trailing_padding i32
//    64 sample_aspect_ratio.num i32      136 seek_preroll i32
//    68 sample_aspect_ratio.den i32      140 zero
//    72 field_order i32                  144 ch_layout.order i32
//                                        148 ch_layout.nb_channels i32
//                                        152 ch_layout.u.mask u64 (zero unless native/ambisonic)
//                                        160 ch_layout.opaque, zero
class CodecParametersImage
{
public:
    static constexpr qsizetype size = 168;

    static QByteArray fromParameters(const AVCodecParameters& parameters);

    // Overwrites parameters with the fields of image. An image shorter than size replaces only the
    // bytes it has: the other bytes, and so the rest of a field cut short, keep what parameters
    // held. A custom channel order is replaced by an unspecified layout with the same channel count
    // since its map cannot travel. Leaves extradata and extradata_size alone and returns the
    // extradata size the image states.
    static int applyTo(QByteArrayView image, AVCodecParameters* parameters);
};

} // namespace vesk::detail
