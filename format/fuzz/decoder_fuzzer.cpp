// Arbitrary bytes as messages: the decoder must neither read outside them nor get stuck. Every
// queued packet must come out through the documented calls.
#include <vesk/format.h>

#include <cstdint>
#include <cstdlib>
#include <span>

namespace {

void drain(vesk::Decoder& decoder)
{
    vesk::PacketPointer packet(av_packet_alloc());
    vesk::CodecParametersPointer parameters;
    bool withOutput = false;
    // Each packet costs at most an AVERROR_INPUT_CHANGED, a getCodec and the read itself; a
    // bound far beyond that catches a decoder that never empties.
    for (int calls = 0; calls < 3 * 2 * 65536 + 4; ++calls) {
        AVCodecParameters* out = parameters.release();
        const int ret = decoder.readPacket(packet.get(), withOutput ? &out : nullptr);
        parameters.reset(out);
        withOutput = !withOutput;
        (void)decoder.getMetaData();
        if (ret == AVERROR(EAGAIN))
            return;
        if (ret == AVERROR_INPUT_CHANGED) {
            AVCodecParameters* codec = nullptr;
            const int got = decoder.getCodec(&codec);
            avcodec_parameters_free(&codec);
            if (got != 0 && got != AVERROR(EAGAIN))
                std::abort();
            continue;
        }
        if (ret != 0)
            std::abort();
        if (packet->flags < 0)
            std::abort();
    }
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::span<const std::uint8_t> input(data, size);
    vesk::Decoder decoder;
    decoder.addMessage(input);
    // A second, overlapping message exercises replacement by dts and the sharing of header data.
    decoder.addMessage(input.subspan(size / 2));
    drain(decoder);
    decoder.addMessage(input);
    drain(decoder);
    return 0;
}
