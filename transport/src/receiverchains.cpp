#include "receiverchains.h"

#include <algorithm>

namespace vesk::detail {

namespace {

using std::chrono::microseconds;

std::int64_t microsecondsSince(
    ReceiverChains::Clock::time_point from, ReceiverChains::Clock::time_point to)
{
    return std::max<std::int64_t>(0, std::chrono::duration_cast<microseconds>(to - from).count());
}

// ceil(a / b) for a >= 0, b > 0.
std::int64_t up(std::int64_t a, std::int64_t b)
{
    return (a + b - 1) / b;
}

} // namespace

ReceiverChains::ReceiverChains(std::uint32_t drift)
    : m_drift(drift)
{
}

// U(t) = clock + 1 + (t - asked) (1 + drift), in milliseconds, rounded up:
//   clock 60000, 30 s after asking, drift 500 ppm  ->  60000 + 1 + 30000 + 15 = 90016
std::int64_t ReceiverChains::upperBound(Clock::time_point now) const
{
    const std::int64_t elapsed = microsecondsSince(m_asked, now);
    return m_clock.count() + 1 + up(elapsed, 1000) + up(elapsed * m_drift, 1000000000);
}

std::chrono::milliseconds ReceiverChains::error(Clock::time_point now) const
{
    return std::chrono::milliseconds(up(microsecondsSince(m_asked, m_answered), 1000)
        + up(microsecondsSince(m_asked, now) * m_drift, 1000000000));
}

void ReceiverChains::synchronize(
    std::chrono::milliseconds clock, Clock::time_point asked, Clock::time_point answered)
{
    ReceiverChains fresh(m_drift);
    fresh.m_clock = clock;
    fresh.m_asked = asked;
    fresh.m_answered = answered;
    if (m_synchronized && upperBound(answered) <= fresh.upperBound(answered))
        return;
    m_synchronized = true;
    m_clock = clock;
    m_asked = asked;
    m_answered = answered;
}

const ReceiverChains::Chain* ReceiverChains::find(std::uint32_t number) const
{
    const auto it = m_chains.find(number);
    return it == m_chains.end() ? nullptr : &it->second;
}

const ReceiverChains::Chain* ReceiverChains::covering(std::uint64_t interval) const
{
    for (const auto& [number, chain] : m_chains)
        if (chain.anchor.covers(interval))
            return &chain;
    return nullptr;
}

bool ReceiverChains::hold(const StreamAnchor& anchor, const QByteArray& bytes)
{
    if (!m_chains.empty() && (anchor.interval != m_interval || anchor.delay != m_delay))
        return false;
    if (m_chains.contains(anchor.chain))
        return true;
    m_interval = anchor.interval;
    m_delay = anchor.delay;
    Chain chain;
    chain.anchor = anchor;
    chain.bytes = bytes;
    chain.known = anchor.first - 1;
    chain.key = anchor.commitment;
    m_chains.emplace(anchor.chain, std::move(chain));
    return true;
}

// In the order of docs/stream-protocol.md, section 4 (key): chain, interval, time, age, the key
// itself, distance, and last the hashes down the chain.
ReceiverChains::KeyCheck ReceiverChains::check(const StreamDisclosure& key,
    std::optional<std::uint64_t> reachable, std::uint64_t maxDistance, Keys& learned)
{
    learned.clear();
    const auto it = m_chains.find(key.chain);
    if (it == m_chains.end())
        return KeyCheck::unanchored;
    Chain& chain = it->second;
    if (!chain.anchor.covers(key.interval))
        return KeyCheck::forged;
    if (reachable && key.interval + m_delay > *reachable)
        return KeyCheck::future;
    // known may be first - 1, which wraps for a chain that begins with interval 0.
    const std::uint64_t since = key.interval - chain.known;
    if (key.interval != chain.known && since > chain.anchor.length)
        return KeyCheck::late;
    if (key.interval == chain.known)
        return key.key == chain.key ? KeyCheck::replayed : KeyCheck::forged;
    if (reachable && since > maxDistance)
        return KeyCheck::unanchored;
    learned.reserve(std::size_t(since));
    Key down = key.key;
    for (std::uint64_t interval = key.interval; interval != chain.known; --interval) {
        learned.emplace_back(interval, down);
        down = KeyChain::previous(down);
    }
    if (down != chain.key) {
        learned.clear();
        return KeyCheck::forged;
    }
    std::ranges::reverse(learned);
    chain.known = key.interval;
    chain.key = key.key;
    return KeyCheck::accepted;
}

void ReceiverChains::forget(std::uint64_t reachable, std::uint64_t grace, std::size_t most)
{
    for (auto it = m_chains.begin(); it != m_chains.end();) {
        const bool ended
            = m_chains.size() > most || it->second.anchor.end() - 1 + m_delay + grace < reachable;
        it = ended && m_chains.size() > 1 ? m_chains.erase(it) : std::next(it);
    }
}

} // namespace vesk::detail
