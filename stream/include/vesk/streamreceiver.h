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
// than once. Memory is bounded: a message that is not complete within `timeout` of its first
// fragment is dropped, and so is the oldest incomplete message when the limits below would be
// exceeded; a lost fragment therefore costs its own message and nothing else.
//
// Every datagram is authenticated before anything in it is believed. A datagram whose counter was
// already accepted, or lies further back than the replay window, is refused, so a replayed or
// duplicated datagram never yields a message twice.
//
// One thread at a time. Not copyable.
class StreamReceiver
{
public:
    using Clock = std::chrono::steady_clock;

    struct Limits
    {
        std::chrono::milliseconds timeout { 2000 };
        std::size_t maxPendingMessages = 64;
        // Payload bytes held for incomplete messages.
        std::size_t maxPendingBytes = 16 * 1024 * 1024;
    };

    // What happened to the datagrams so far.
    struct Counters
    {
        std::uint64_t accepted = 0; // authenticated and used
        std::uint64_t rejected = 0; // malformed, another stream, or failed authentication
        std::uint64_t replayed = 0; // counter already seen or too old
        std::uint64_t messages = 0; // complete messages handed out
        std::uint64_t dropped = 0; // incomplete messages given up
    };

    // Number of datagram counters behind the highest one seen that are still accepted.
    static constexpr std::uint64_t replayWindow = 8192;

    StreamReceiver(std::uint32_t streamId, std::span<const unsigned char, 32> key);
    StreamReceiver(std::uint32_t streamId, std::span<const unsigned char, 32> key, Limits limits);
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
