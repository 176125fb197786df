#pragma once

#include <vesk/ssl/aesgcm.h>
#include <vesk/ssl/signingkey.h>

#include <QByteArray>
#include <QList>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>

namespace vesk {

struct StreamDatagram;
namespace detail {
class KeyChain;
}

// The sending side of the stream transport (docs/stream-protocol.md): cuts each message into
// fragments of at most StreamDatagram::maxPayload bytes, seals each one with AES-256-GCM under
// the stream key, and MACs one manifest per run of up to StreamDatagram::maxDigests fragments
// that lists their digests, under the key of the send time's interval in a one-way key chain.
// disclose() hands out each interval's key once the delay has passed, and the next chain's
// anchor, signed with the register's signing key, before the current chain ends.
//
// The IV comes from a 64-bit counter that starts at 0 and only grows (manifests take counters
// too), so it never repeats for the life of the sealer; one stream key must therefore have
// exactly one sealer. Times are the caller's stream clock and must not go back: nothing is
// sealed under a key that has been disclosed.
//
// One thread at a time. Not copyable.
class StreamSealer
{
public:
    using Key = std::array<std::uint8_t, 32>;
    // Fills its argument with fresh random bytes, or throws.
    using RandomSource = std::function<void(std::span<std::uint8_t>)>;

    // The key schedule (docs/stream-protocol.md, section 2, says why these values).
    struct Schedule
    {
        std::chrono::milliseconds interval { 100 };
        // Intervals between an interval and the disclosure of its key.
        std::uint16_t delay = 3;
        std::uint32_t chainLength = 6000;
        // The next chain is made this many intervals before the current one ends; until then
        // its anchor goes out every `announceEvery` intervals.
        std::uint32_t renewal = 600;
        std::uint32_t announceEvery = 10;
    };

    // What a display needs to join at a time of the stream clock, as stream/connect hands it out.
    struct Joining
    {
        std::chrono::milliseconds clock { 0 };
        // The anchor of the chain that covers `clock`.
        QByteArray anchor;
        // The anchor of the chain after it, once made; empty before.
        QByteArray next;
        // The newest key datagram handed out; empty before the first.
        QByteArray key;
    };

    // `random` draws the top key of each chain; by default (and when empty) OpenSSL's generator.
    // Chain 0 begins with interval 0 and is made here. Throws ssl::Error when OpenSSL fails.
    StreamSealer(
        std::uint32_t streamId, std::span<const unsigned char, 32> key, ssl::SigningKey signer);
    StreamSealer(std::uint32_t streamId, std::span<const unsigned char, 32> key,
        ssl::SigningKey signer, Schedule schedule, RandomSource random = {});
    ~StreamSealer();
    StreamSealer(const StreamSealer&) = delete;
    StreamSealer& operator=(const StreamSealer&) = delete;

    // The datagrams of one message, in the order to send them: each manifest before the fragments
    // it lists. `sentAt` is the stream clock's time; its interval's key MACs the manifests. An
    // empty message still makes one fragment. Empty when the message needs more than
    // StreamDatagram::maxFragments fragments, the counter is used up, or the key of `sentAt`'s
    // interval has been disclosed already; nothing is consumed then. Throws ssl::Error when
    // OpenSSL fails.
    QList<QByteArray> seal(const QByteArray& message, std::chrono::milliseconds sentAt);
    // What is due at `now`: the key datagram of the interval `delay` intervals before `now`'s,
    // and during a chain's last `renewal` intervals the next chain's anchor every `announceEvery`
    // intervals. Nothing twice; call it at least once an interval, or keys go out late (never
    // early). Throws ssl::Error when OpenSSL fails.
    QList<QByteArray> disclose(std::chrono::milliseconds now);
    Joining joining(std::chrono::milliseconds now);

    const Schedule& schedule() const { return m_schedule; }
    std::uint32_t streamId() const { return m_streamId; }
    // The sequence number the next message gets.
    std::uint32_t nextSequence() const { return m_sequence; }
    // The counter, and so the IV, of the next datagram.
    std::uint64_t nextCounter() const { return m_counter; }

private:
    struct Chain;

    // The chain that covers `interval`, made when it lies at or after the newest chain's end;
    // null for an interval before the chains held.
    Chain* chainFor(std::uint64_t interval);
    Chain* held(std::uint64_t interval);
    std::uint64_t intervalOf(std::chrono::milliseconds at) const;
    QByteArray sealFragment(StreamDatagram header, std::span<const std::uint8_t> piece);
    QByteArray announcement(const Chain& next, const Chain& current, std::chrono::milliseconds now);

    std::uint32_t m_streamId;
    std::uint32_t m_sequence = 0;
    std::uint64_t m_counter = 0;
    ssl::AesGcm m_cipher;
    ssl::SigningKey m_signer;
    Schedule m_schedule;
    RandomSource m_random;
    // Oldest first; a chain goes once all its keys are out.
    std::deque<std::unique_ptr<Chain>> m_chains;
    // The newest interval whose key is out (or was due while no chain covered it).
    std::optional<std::uint64_t> m_disclosed;
    QByteArray m_newestKey;
    std::optional<std::uint64_t> m_announced;
};

} // namespace vesk
