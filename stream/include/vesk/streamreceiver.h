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
// puts the fragments of each message together again. Datagrams may come in any order and more
// than once. Memory is bounded: a message larger than `maxMessageBytes` is never started, one that
// is not complete within `timeout` of its first manifest is dropped, and so is the oldest
// incomplete message when the other limits would be exceeded; a lost datagram therefore costs its
// own message and nothing else.
//
// Trust comes from the register's signature on each message's manifest: a fragment is taken only
// when its digest is listed in a manifest that verified, and a fragment that comes before its
// manifest waits in a small pool of its own. Nothing changes the replay window, the messages
// being put together or the pool's candidates that are there already until a datagram has passed
// every check, so a forged datagram of any kind, whatever its counter, changes nothing. A
// manifest sent before the receiver joined the stream is refused, so traffic recorded earlier
// and replayed to a new receiver yields nothing.
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
        // Manifests sent this long before the join are still taken; at most 2 s.
        std::chrono::milliseconds joinSlack { 1000 };
        // Fragments waiting for their manifest: in all, per (sequence, index), for how long, and
        // how far their sequence may lie from the newest manifest's.
        std::size_t maxEarlyFragments = 256;
        std::size_t earlyPerSlot = 4;
        std::chrono::milliseconds earlyTimeout { 500 };
        std::uint32_t earlySequences = 32;
    };

    // What happened to the datagrams so far. A datagram is counted once, under the first check it
    // fails, in the order the checks are made; a fragment that waits for its manifest is counted
    // when it is taken or given up.
    struct Counters
    {
        std::uint64_t accepted = 0; // manifests verified and fragments listed, sealed and used
        std::uint64_t otherVersion = 0; // another protocol version, or empty
        std::uint64_t malformed = 0; // impossible kind, length or fragment numbers
        std::uint64_t otherStream = 0; // another stream's identifier
        std::uint64_t oversized = 0; // its message would exceed Limits::maxMessageBytes
        std::uint64_t beforeJoin = 0; // a manifest sent before the receiver joined
        std::uint64_t replayed = 0; // counter already accepted or behind the window
        std::uint64_t forged = 0; // manifest not signed by the register, fragment not listed so
        std::uint64_t unsealed = 0; // listed, but not sealed under the stream key
        std::uint64_t inconsistent = 0; // a signed manifest contradicts an earlier one
        std::uint64_t unclaimed = 0; // fragments whose manifest did not come, or no room to wait
        std::uint64_t messages = 0; // complete messages handed out
        std::uint64_t dropped = 0; // incomplete messages given up

        // Datagrams refused for what they are; replays, datagrams from before the join and
        // fragments without a manifest are counted apart.
        std::uint64_t rejected() const
        {
            return otherVersion + malformed + otherStream + oversized + forged + unsealed
                + inconsistent;
        }
    };

    // Number of datagram counters behind the highest one accepted that are still accepted:
    // counter c is taken when highest - c < replayWindow (and c was not taken before).
    static constexpr std::uint64_t replayWindow = 8192;

    // `signer` is the register's raw Ed25519 public key ("signer" of the stream/connect answer),
    // `joinedAt` the stream clock's time when the register let this receiver join ("clock" of
    // that answer); 0 takes everything the register has signed.
    StreamReceiver(std::uint32_t streamId, std::span<const unsigned char, keySize> key,
        std::span<const std::uint8_t, signerKeySize> signer,
        std::chrono::milliseconds joinedAt = std::chrono::milliseconds(0));
    StreamReceiver(std::uint32_t streamId, std::span<const unsigned char, keySize> key,
        std::span<const std::uint8_t, signerKeySize> signer, std::chrono::milliseconds joinedAt,
        Limits limits);
    ~StreamReceiver();
    StreamReceiver(const StreamReceiver&) = delete;
    StreamReceiver& operator=(const StreamReceiver&) = delete;

    // Takes one datagram received at `now`. Returns the message it completes, if any. Incomplete
    // messages and waiting fragments that have timed out by `now` are given up first.
    std::optional<QByteArray> addDatagram(
        std::span<const std::uint8_t> datagram, Clock::time_point now = Clock::now());
    // Gives up what has timed out by `now`; for quiet times without datagrams.
    void expire(Clock::time_point now = Clock::now());

    const Counters& counters() const;
    std::size_t pendingMessages() const;
    std::size_t pendingBytes() const;
    // Fragments waiting for their manifest.
    std::size_t earlyFragments() const;

private:
    struct Private;

    std::unique_ptr<Private> m_d;
};

} // namespace vesk
