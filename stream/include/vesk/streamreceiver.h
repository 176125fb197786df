#pragma once

#include <QByteArray>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

namespace vesk {

// The receiving side of the stream transport: checks and decrypts the datagrams of one stream and
// puts the fragments of each message together again. Fragments may come in any order and more
// than once. Memory is bounded: a message larger than `maxMessageBytes` is never started, one that
// is not complete within `timeout` of its first fragment is dropped, and so is the oldest
// incomplete message when the other limits would be exceeded; a lost fragment therefore costs its
// own message and nothing else.
//
// The register's signature is checked before a datagram touches any state: a datagram that
// anybody but the register made (the stream key is known to every display) is dropped before the
// replay window or the reassembly see it, so a forged counter cannot move the window. A datagram
// whose counter was already accepted, or lies further back than the replay window, is refused,
// so a replayed or duplicated datagram never yields a message twice.
//
// One thread at a time. Not copyable.
class StreamReceiver
{
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t keySize = 32;
    static constexpr std::size_t signerKeySize = 32;

    struct Limits
    {
        std::chrono::milliseconds timeout { 2000 };
        std::size_t maxPendingMessages = 64;
        // Payload bytes held for incomplete messages.
        std::size_t maxPendingBytes = 16 * 1024 * 1024;
        // The largest message taken, judged by its fragment count before anything is stored.
        std::size_t maxMessageBytes = 16 * 1024 * 1024;
    };

    // What happened to the datagrams so far. A datagram is counted once, under the first check it
    // fails, in the order the checks are made.
    struct Counters
    {
        std::uint64_t accepted = 0; // signed, sealed and used
        std::uint64_t malformed = 0; // too short or too long, impossible fragment numbers
        std::uint64_t otherStream = 0; // another stream's identifier
        std::uint64_t oversized = 0; // its message would exceed Limits::maxMessageBytes
        std::uint64_t forged = 0; // not signed by the register's key
        std::uint64_t replayed = 0; // counter already accepted or behind the window
        std::uint64_t unsealed = 0; // signed, but not sealed under the stream key
        std::uint64_t inconsistent = 0; // its fragment count contradicts an earlier fragment
        std::uint64_t messages = 0; // complete messages handed out
        std::uint64_t dropped = 0; // incomplete messages given up

        // Datagrams refused for anything but being a replay.
        std::uint64_t rejected() const
        {
            return malformed + otherStream + oversized + forged + unsealed + inconsistent;
        }
    };

    // Number of datagram counters behind the highest one seen that are still accepted.
    static constexpr std::uint64_t replayWindow = 8192;

    // `signer` is the register's raw Ed25519 public key ("signer" of the stream/connect answer).
    StreamReceiver(std::uint32_t streamId, std::span<const unsigned char, keySize> key,
        std::span<const std::uint8_t, signerKeySize> signer);
    StreamReceiver(std::uint32_t streamId, std::span<const unsigned char, keySize> key,
        std::span<const std::uint8_t, signerKeySize> signer, Limits limits);
    ~StreamReceiver();
    StreamReceiver(const StreamReceiver&) = delete;
    StreamReceiver& operator=(const StreamReceiver&) = delete;

    // Takes one datagram received at `now`. Returns the message it completes, if any. Incomplete
    // messages that have timed out by `now` are dropped first.
    std::optional<QByteArray> addDatagram(
        std::span<const std::uint8_t> datagram, Clock::time_point now = Clock::now());
    // Drops the incomplete messages that have timed out by `now`; for quiet times without
    // datagrams.
    void expire(Clock::time_point now = Clock::now());

    const Counters& counters() const;
    std::size_t pendingMessages() const;
    std::size_t pendingBytes() const;

private:
    struct Private;

    std::unique_ptr<Private> m_d;
};

} // namespace vesk
