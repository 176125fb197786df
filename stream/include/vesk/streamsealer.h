#pragma once

#include <vesk/ssl/aesgcm.h>
#include <vesk/ssl/signingkey.h>

#include <QByteArray>
#include <QList>

#include <chrono>
#include <cstdint>
#include <span>

namespace vesk {

struct StreamDatagram;

// The sending side of the stream transport: cuts each message into fragments of at most
// StreamDatagram::maxPayload bytes, seals each one with AES-256-GCM under the stream key, and
// signs one manifest per run of up to StreamDatagram::maxDigests fragments that lists their
// digests, so that a receiver verifies one signature per message rather than one per datagram.
// The IV comes from a 64-bit counter that starts at 0 and only grows (manifests take counters
// too), so it never repeats for the life of the sealer; one stream key must therefore have
// exactly one sealer.
//
// One thread at a time. Not copyable.
class StreamSealer
{
public:
    StreamSealer(
        std::uint32_t streamId, std::span<const unsigned char, 32> key, ssl::SigningKey signer);
    StreamSealer(const StreamSealer&) = delete;
    StreamSealer& operator=(const StreamSealer&) = delete;

    // The datagrams of one message, in the order to send them: each manifest before the fragments
    // it lists. `sentAt` is the stream clock's time, which receivers compare with the time they
    // joined. An empty message still makes one fragment. Empty when the message needs more than
    // StreamDatagram::maxFragments fragments or the counter is used up; nothing is consumed then.
    // Throws ssl::Error when OpenSSL fails.
    QList<QByteArray> seal(const QByteArray& message, std::chrono::milliseconds sentAt);

    std::uint32_t streamId() const { return m_streamId; }
    // The sequence number the next message gets.
    std::uint32_t nextSequence() const { return m_sequence; }
    // The counter, and so the IV, of the next datagram.
    std::uint64_t nextCounter() const { return m_counter; }

private:
    QByteArray sealFragment(StreamDatagram header, std::span<const std::uint8_t> piece);

    std::uint32_t m_streamId;
    std::uint32_t m_sequence = 0;
    std::uint64_t m_counter = 0;
    ssl::AesGcm m_cipher;
    ssl::SigningKey m_signer;
};

} // namespace vesk
