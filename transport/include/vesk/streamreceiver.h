#pragma once

#include <QByteArray>
#include <QList>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace vesk {

// The receiving side of the stream transport (docs/stream-protocol.md): checks and decrypts the
// datagrams of one stream and puts the fragments of each message together again. Datagrams may
// come in any order and more than once.
//
// Trust comes from the register's key chains. A manifest is MACed under a key that the register
// discloses a few intervals later; the receiver takes a manifest only while, by its upper bound
// of the register's clock (from the stream/connect answer, see join()), that key cannot be out
// yet, keeps it waiting, and checks its MAC once the key comes. A fragment is taken only when its
// digest is listed in a manifest taken so, and waits beside it until then. A key is checked by
// going down its chain to the newest key held, at most Limits::maxKeyDistance hashes; an anchor
// by its signature, a few a second at most, or by a MAC under the chain before. Nothing changes
// the replay window, the messages being put together, the keys held or the datagrams waiting
// until a datagram has passed every check, so a forged datagram of any kind changes nothing.
//
// Memory is bounded: the waiting datagrams by Limits (a full pool keeps a random sample, and
// datagrams from another source than the register's never push the register's out); a message
// larger than `maxMessageBytes` is never started, one that is not complete within `timeout` of its
// first manifest is dropped, and so is the oldest incomplete message when the other limits would
// be exceeded. A lost datagram therefore costs its own message and nothing else.
//
// One thread at a time. Not copyable.
class StreamReceiver
{
public:
    using Clock = std::chrono::steady_clock;
    // Where a datagram came from, as the caller tells senders apart (address and port); only
    // compared for equality.
    using Source = std::uint64_t;
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
        // Datagrams waiting for their key or manifest, in each of the two shares (from the
        // register's source; from any other): in all, and for any one interval. An interval's
        // datagrams wait about four intervals, so 8192 hold a flood of 80,000 small forged
        // datagrams a second beside the stream; each costs about 250 bytes of bookkeeping.
        std::size_t maxWaiting = 32768;
        std::size_t maxWaitingBytes = 8 * 1024 * 1024;
        std::size_t maxWaitingPerInterval = 8192;
        std::size_t maxWaitingBytesPerInterval = 2 * 1024 * 1024;
        // How long after its due time an interval's datagrams wait for its key.
        std::chrono::milliseconds keyWait { 1000 };
        // Fragments wait only when their sequence lies within this many of the newest manifest
        // accepted, inclusive.
        std::uint32_t sequenceWindow = 256;
        // How much faster than ours the register's clock may run, in millionths.
        std::uint32_t drift = 500;
        // A key further than this many intervals beyond the newest key held is not checked.
        std::uint32_t maxKeyDistance = 100;
        // Signature checks of anchors that came in-band: a bucket of `anchorChecks`, refilled by
        // one every `anchorCheckEvery`.
        std::uint32_t anchorChecks = 2;
        std::chrono::milliseconds anchorCheckEvery { 1000 };
        // wantsJoin(): the bound of the register's clock may be this far off; the chain ends this
        // soon and no next one is held.
        std::chrono::milliseconds maxClockError { 100 };
        std::chrono::milliseconds renewalMargin { 30000 };
        // Seeds the choice of what a full pool keeps; 0 takes one from the system.
        std::uint64_t seed = 0;
    };

    // What happened to the datagrams so far. A datagram is counted once, under the first check it
    // fails, in the order the checks are made; one that waits is counted when it stops waiting.
    // With what waits (waiting()), the causes add up to the datagrams received; after finish(),
    // they do alone.
    struct Counters
    {
        std::uint64_t accepted = 0; // manifests, fragments, keys and anchors that were taken
        std::uint64_t otherVersion = 0; // another protocol version, or empty
        std::uint64_t malformed = 0; // impossible kind, length or fields
        std::uint64_t otherStream = 0; // another stream's identifier
        std::uint64_t oversized = 0; // its message would exceed Limits::maxMessageBytes
        std::uint64_t future = 0; // a time the register cannot have reached yet
        std::uint64_t unsafe = 0; // its interval's key may be out: too late, or recorded earlier
        std::uint64_t unanchored = 0; // no chain held for it, or its key too far to check
        std::uint64_t late = 0; // a key older than the one held, an anchor of an ended chain
        std::uint64_t replayed = 0; // taken before, behind the window, or the same bytes waiting
        std::uint64_t forged = 0; // MAC, key, signature or digest that does not hold
        std::uint64_t unsealed = 0; // listed, but not sealed under the stream key
        std::uint64_t inconsistent = 0; // the register's own datagram contradicts an earlier one
        std::uint64_t unchecked = 0; // an anchor only a signature could check, none left to spend
        std::uint64_t unclaimed = 0; // waited in vain for its manifest or key, or not let wait
        std::uint64_t crowded = 0; // pushed out of the full pool, or given no place in it
        std::uint64_t messages = 0; // complete messages handed out
        std::uint64_t dropped = 0; // incomplete messages given up

        // Datagrams refused for what they are: nothing the register sent ends here.
        std::uint64_t rejected() const
        {
            return otherVersion + malformed + otherStream + oversized + future + forged + unsealed
                + inconsistent;
        }
        // Every datagram judged so far.
        std::uint64_t judged() const
        {
            return accepted + rejected() + unsafe + unanchored + late + replayed + unchecked
                + unclaimed + crowded;
        }
    };

    // What a stream/connect answer tells a receiver beside the stream's keys.
    struct Join
    {
        // "clock": the register's stream clock while it answered.
        std::chrono::milliseconds clock { 0 };
        // Our clock just before the request went out, and when the whole answer was in.
        Clock::time_point asked;
        Clock::time_point answered;
        // "anchor" and "next" (empty when absent): 124-byte anchors.
        QByteArray anchor;
        QByteArray next;
        // "key" (empty when absent): a key datagram.
        QByteArray key;
    };
    // The member of a Join that does not check: an anchor not of this stream, not signed by the
    // signer or of another interval or delay than the stream's; a key that is no key of the
    // chains given.
    enum class JoinError { none, anchor, next, key };

    // Number of datagram counters behind the highest one accepted that are still accepted:
    // counter c is taken when highest - c < replayWindow (and c was not taken before).
    static constexpr std::uint64_t replayWindow = 8192;

    // `signer` is the register's raw Ed25519 public key ("signer" of the stream/connect answer).
    // Until join() has given it a chain and the register's clock, the receiver takes nothing.
    StreamReceiver(std::uint32_t streamId, std::span<const unsigned char, keySize> key,
        std::span<const std::uint8_t, signerKeySize> signer);
    StreamReceiver(std::uint32_t streamId, std::span<const unsigned char, keySize> key,
        std::span<const std::uint8_t, signerKeySize> signer, Limits limits);
    ~StreamReceiver();
    StreamReceiver(const StreamReceiver&) = delete;
    StreamReceiver& operator=(const StreamReceiver&) = delete;

    // Takes an answer: holds its anchors, keeps the tighter of the bounds of the register's clock
    // it had and this one gives, and moves on to its key, judging what waited for the keys it
    // makes known (the messages completed are appended to `completed` when given). Each anchor
    // costs one signature check, the key at most a chain's length of hashes. On an error nothing
    // changes.
    JoinError join(const Join& join, QList<QByteArray>* completed = nullptr);

    // Takes one datagram from `source` received at `now`. Returns the messages it completes, in
    // the order their manifests came (a key completes all of its interval's at once). What has
    // timed out by `now` is given up first.
    QList<QByteArray> addDatagram(
        std::span<const std::uint8_t> datagram, Source source, Clock::time_point now);
    // Gives up what has timed out by `now`; for quiet times without datagrams.
    void expire(Clock::time_point now);
    // The end of a run: counts every datagram still waiting as unclaimed and every message still
    // incomplete as dropped.
    void finish();
    // True when a new stream/connect answer is wanted: no chain held for the register's present
    // interval, the chain ends within Limits::renewalMargin with no next one held, the newest key
    // held is more than half of Limits::maxKeyDistance behind, or the bound of the register's
    // clock may be off by more than Limits::maxClockError.
    bool wantsJoin(Clock::time_point now) const;

    const Counters& counters() const;
    std::size_t pendingMessages() const;
    std::size_t pendingBytes() const;
    // Datagrams waiting for their key or their manifest.
    std::size_t waiting() const;

private:
    struct Private;

    std::unique_ptr<Private> m_d;
};

} // namespace vesk
