#pragma once

extern "C" {
#include <libavcodec/codec_par.h>
#include <libavcodec/packet.h>
}

#include <QJsonDocument>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

namespace vesk {

// Reads the messages that Encoder writes, in any order and any number of times, into one queue of
// packets ordered by dts (one packet per dts: a later message replaces a queued packet with the
// same dts), and hands them out as AVPacket objects with new codec parameters whenever the
// configuration changes. Packets leave the queue only by readPacket, so a message that arrives
// again after its packets were read queues them again. Errors are negative libavutil codes;
// nothing throws.
//
//   decoder.addMessage(datagram);
//   AVCodecParameters* parameters = nullptr;
//   int ret;
//   while ((ret = decoder.readPacket(packet, &parameters)) == 0) {
//       if (parameters) {  // a new configuration, before this packet
//           reopenCodec(parameters);
//           avcodec_parameters_free(&parameters);
//       }
//       decode(packet);
//   }
//   // ret == AVERROR(EAGAIN): wait for the next message
//
// One thread at a time, const members included (they move the current configuration forward);
// distinct decoders are independent. Movable, not copyable; a moved-from decoder may only be
// destroyed or assigned to.
class Decoder
{
public:
    Decoder();
    Decoder(Decoder&& other) noexcept;
    Decoder& operator=(Decoder&& other) noexcept;
    ~Decoder();

    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    // Queues the packets of one complete message. Never reads outside message: a damaged message
    // yields fewer packets, packets with empty payload or fewer side-data items, never an error.
    // Side data of a type this libavcodec does not know is dropped. A message whose packet
    // entries would hand out more bytes than it holds (entries that share or repeat data ranges)
    // is refused as a whole before anything is allocated, so a message never costs more memory
    // than about its own size.
    void addMessage(std::span<const std::uint8_t> message);

    // Moves the queued packet with the smallest dts into packet (which is unreferenced first) and
    // removes it from the queue. Returns:
    //   0                      the packet; when its configuration differs from the current one, or
    //                          the sender marked a codec change, also new parameters in
    //                          *codecOut (owned by the caller; what *codecOut held before is freed
    //                          with avcodec_parameters_free, so it must be null or owned
    //                          parameters); otherwise *codecOut is left alone
    //   AVERROR(EAGAIN)        the queue is empty
    //   AVERROR_INPUT_CHANGED  the configuration changes and codecOut is null; the packet stays
    //                          queued. getCodec gives the new parameters and makes them current,
    //                          after which the next call hands the packet out
    //   AVERROR(EINVAL)        packet is null
    //   AVERROR(ENOMEM) or another error of av_new_packet: the packet stays queued and a change
    //                          is still reported by the next call
    // A change to a configuration without codec parameters (a sender that never had them) has
    // nothing to report: the packet is handed out and *codecOut is left alone.
    int readPacket(AVPacket* packet, AVCodecParameters** codecOut);

    // Frees what *out held, makes the configuration of the next packet (or the current one when the
    // queue is empty) current and stores new parameters for it in *out, owned by the caller, with
    // the extradata followed by AV_INPUT_BUFFER_PADDING_SIZE zero bytes. Returns 0,
    // AVERROR(EINVAL) for a null out, AVERROR(EAGAIN) when there are no codec parameters yet, or
    // AVERROR(ENOMEM), in which case the current configuration stays and readPacket still reports
    // the change.
    int getCodec(AVCodecParameters** out) const;

    // The metadata of the next packet, or of the last one read when the queue is empty; nullopt
    // before any metadata was seen. Metadata that is not valid JSON gives a null document.
    std::optional<QJsonDocument> getMetaData() const;

    // The metadata of one message without queueing its packets, for a receiver that sorts
    // messages before it decodes them (one decoder per track of a stream). nullopt when the
    // message has none or its range does not fit; metadata that is not valid JSON gives a null
    // document.
    static std::optional<QJsonDocument> metaDataOf(std::span<const std::uint8_t> message);

    class Private;

private:
    std::unique_ptr<Private> m_d;
};

} // namespace vesk
