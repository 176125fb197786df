// Internal to libvesk_transport, not API.
#pragma once

#include "keychain.h"

#include <vesk/streamanchor.h>
#include <vesk/streamdisclosure.h>

#include <QByteArray>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <utility>
#include <vector>

namespace vesk::detail {

// What a receiver knows of the register's time and key chains (docs/stream-protocol.md,
// sections 1 and 2): an upper bound of the register's stream clock from a stream/connect answer,
// the stream's interval and delay, and per chain held its anchor and the newest key known.
class ReceiverChains
{
public:
    using Clock = std::chrono::steady_clock;
    using Key = KeyChain::Key;
    // Keys of intervals, oldest first.
    using Keys = std::vector<std::pair<std::uint64_t, Key>>;

    struct Chain
    {
        StreamAnchor anchor;
        // The 124 bytes it was read from.
        QByteArray bytes;
        // The newest interval whose key is known, and that key; first - 1 and the commitment
        // while no key of the chain is known.
        std::uint64_t known = 0;
        Key key {};
    };

    // The receiver counts by this order.
    enum class KeyCheck { accepted, unanchored, forged, future, late, replayed };

    // `drift`: how much faster than ours the register's clock may run, in millionths.
    explicit ReceiverChains(std::uint32_t drift);

    // Takes the register's `clock` read while it answered a request sent at `asked` and answered
    // by `answered`; keeps it when it bounds the register's clock tighter than the one held.
    void synchronize(
        std::chrono::milliseconds clock, Clock::time_point asked, Clock::time_point answered);
    // True once a chain and the register's clock are known; nothing below means anything before.
    bool timed() const { return m_synchronized && !m_chains.empty(); }
    // The register's clock at `now` is at most this, in milliseconds.
    std::int64_t upperBound(Clock::time_point now) const;
    // How far upperBound(now) may lie above the register's clock.
    std::chrono::milliseconds error(Clock::time_point now) const;
    // The newest interval the register can have reached by `now`.
    std::uint64_t reachable(Clock::time_point now) const
    {
        return std::uint64_t(upperBound(now)) / std::uint64_t(m_interval.count());
    }
    std::uint64_t intervalOf(std::chrono::milliseconds sent) const
    {
        return std::uint64_t(sent.count()) / std::uint64_t(m_interval.count());
    }
    // When, by the register's clock, an interval's key goes out (milliseconds).
    std::int64_t dueAt(std::uint64_t interval) const
    {
        return std::int64_t(interval + m_delay) * m_interval.count();
    }
    std::chrono::milliseconds interval() const { return m_interval; }
    std::uint16_t delay() const { return m_delay; }

    const Chain* find(std::uint32_t number) const;
    const Chain* covering(std::uint64_t interval) const;
    // Holds a chain whose anchor is known to be the register's. False when its interval or
    // delay is not the stream's (the first anchor sets them).
    bool hold(const StreamAnchor& anchor, const QByteArray& bytes);
    // Checks a disclosed key; when accepted, `learned` holds the keys it makes known. With
    // `reachable` null the key is the register's own word (a stream/connect answer): it is
    // checked against its chain but not against the time, and may lie a whole chain away.
    KeyCheck check(const StreamDisclosure& key, std::optional<std::uint64_t> reachable,
        std::uint64_t maxDistance, Keys& learned);
    // Forgets the chains whose keys have all been due for `grace` intervals by `reachable`, and
    // the oldest beyond `most` chains.
    void forget(std::uint64_t reachable, std::uint64_t grace, std::size_t most);

private:
    std::uint32_t m_drift;
    bool m_synchronized = false;
    std::chrono::milliseconds m_clock { 0 };
    Clock::time_point m_asked;
    Clock::time_point m_answered;
    std::chrono::milliseconds m_interval { 1 };
    std::uint16_t m_delay = 0;
    std::map<std::uint32_t, Chain> m_chains;
};

} // namespace vesk::detail
