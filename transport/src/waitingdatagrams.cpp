#include "waitingdatagrams.h"

#include <algorithm>

namespace vesk::detail {

WaitingDatagrams::WaitingDatagrams(Limits limits, std::uint64_t seed)
    : m_limits(limits)
    , m_random(seed)
{
}

WaitingDatagrams::Id WaitingDatagrams::pick(const Ids& ids)
{
    return ids[std::uniform_int_distribution<std::size_t>(0, ids.size() - 1)(m_random)];
}

// A full interval: the n-th offer for it gets a place with probability places / n.
//   places 4096, 4096 offered: kept;  8192 offered: kept one time in two
WaitingDatagrams::Offer WaitingDatagrams::offer(
    Datagram datagram, bool registers, std::uint64_t& pushedOut)
{
    if (const auto copy = m_copies.constFind(datagram.bytes); copy != m_copies.cend()) {
        // The copy from the register's source is the original: one relayed from elsewhere that
        // came first must not leave it to the others' share, where a flood can push it out.
        if (!registers || m_entries[*copy].registers)
            return Offer::copy;
        remove(*copy);
        // The caller counts the one that left as a replay; the register's, when it finds no
        // place, as pushed out.
        if (offer(std::move(datagram), registers, pushedOut) == Offer::crowded)
            ++pushedOut;
        return Offer::copy;
    }
    const std::size_t size = std::size_t(datagram.bytes.size());
    const int share = registers ? 1 : 0;
    Interval& interval = m_intervals[datagram.interval];
    const std::uint64_t offered = ++interval.offered[share];
    const auto intervalFull = [&] {
        return interval.ids[share].size() >= m_limits.perIntervalCount
            || interval.bytes[share] + size > m_limits.perIntervalBytes;
    };
    if (intervalFull()) {
        const std::size_t places = interval.ids[share].size();
        if (places == 0
            || std::uniform_int_distribution<std::uint64_t>(0, offered - 1)(m_random) >= places)
            return Offer::crowded;
        while (intervalFull() && !interval.ids[share].empty()) {
            remove(pick(interval.ids[share]));
            ++pushedOut;
        }
    }
    Share& own = m_shares[share];
    while (!own.ids.empty()
        && (own.ids.size() >= m_limits.count || own.bytes + size > m_limits.bytes)) {
        remove(pick(own.ids));
        ++pushedOut;
    }

    Id id;
    if (m_free.empty()) {
        id = Id(m_entries.size());
        m_entries.emplace_back();
    } else {
        id = m_free.back();
        m_free.pop_back();
    }
    Entry& entry = m_entries[id];
    entry.used = true;
    entry.registers = registers;
    entry.datagram = std::move(datagram);
    entry.datagram.arrival = m_arrivals++;
    entry.inShare = own.ids.size();
    own.ids.push_back(id);
    own.bytes += size;
    entry.inInterval = interval.ids[share].size();
    interval.ids[share].push_back(id);
    interval.bytes[share] += size;
    if (entry.datagram.kind == Kind::fragment) {
        Ids& candidates
            = m_slots[slot(entry.datagram.header.sequence, entry.datagram.header.index)];
        entry.inSlot = candidates.size();
        candidates.push_back(id);
    }
    m_copies.insert(entry.datagram.bytes, id);
    return Offer::kept;
}

void WaitingDatagrams::unlist(Ids& ids, std::size_t at, std::size_t Entry::*position)
{
    const Id moved = ids.back();
    ids[at] = moved;
    m_entries[moved].*position = at;
    ids.pop_back();
}

void WaitingDatagrams::remove(Id id)
{
    Entry& entry = m_entries[id];
    const int share = entry.registers ? 1 : 0;
    const std::size_t size = std::size_t(entry.datagram.bytes.size());
    unlist(m_shares[share].ids, entry.inShare, &Entry::inShare);
    m_shares[share].bytes -= size;
    Interval& interval = m_intervals[entry.datagram.interval];
    unlist(interval.ids[share], entry.inInterval, &Entry::inInterval);
    interval.bytes[share] -= size;
    if (entry.datagram.kind == Kind::fragment) {
        const quint64 key = slot(entry.datagram.header.sequence, entry.datagram.header.index);
        const auto candidates = m_slots.find(key);
        unlist(*candidates, entry.inSlot, &Entry::inSlot);
        if (candidates->empty())
            m_slots.erase(candidates);
    }
    m_copies.remove(entry.datagram.bytes);
    entry.used = false;
    entry.datagram = {};
    m_free.push_back(id);
}

std::vector<WaitingDatagrams::Datagram> WaitingDatagrams::take(Ids ids)
{
    std::ranges::sort(ids,
        [&](Id a, Id b) { return m_entries[a].datagram.arrival < m_entries[b].datagram.arrival; });
    std::vector<Datagram> taken;
    taken.reserve(ids.size());
    for (const Id id : ids) {
        // Shares the bytes; remove() finds the entry's lists by what its datagram says.
        taken.push_back(m_entries[id].datagram);
        remove(id);
    }
    return taken;
}

std::vector<WaitingDatagrams::Datagram> WaitingDatagrams::takeMaced(std::uint64_t interval)
{
    const auto it = m_intervals.find(interval);
    if (it == m_intervals.end())
        return {};
    Ids ids;
    for (const Ids& share : it->second.ids)
        for (const Id id : share)
            if (m_entries[id].datagram.kind != Kind::fragment)
                ids.push_back(id);
    return take(std::move(ids));
}

std::vector<WaitingDatagrams::Datagram> WaitingDatagrams::takeFragments(
    std::uint32_t sequence, std::uint16_t index)
{
    const auto it = m_slots.constFind(slot(sequence, index));
    return it == m_slots.cend() ? std::vector<Datagram>() : take(*it);
}

std::size_t WaitingDatagrams::drop(std::uint64_t interval)
{
    const auto it = m_intervals.find(interval);
    if (it == m_intervals.end())
        return 0;
    std::size_t dropped = 0;
    for (Ids& share : it->second.ids)
        while (!share.empty()) {
            remove(share.back());
            ++dropped;
        }
    m_intervals.erase(interval);
    return dropped;
}

std::size_t WaitingDatagrams::clear()
{
    const std::size_t dropped = size();
    m_entries.clear();
    m_free.clear();
    m_shares[0] = {};
    m_shares[1] = {};
    m_intervals.clear();
    m_slots.clear();
    m_copies.clear();
    return dropped;
}

std::optional<std::uint64_t> WaitingDatagrams::oldest() const
{
    if (m_intervals.empty())
        return std::nullopt;
    return m_intervals.begin()->first;
}

} // namespace vesk::detail
