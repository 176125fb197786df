// Internal to libvesk_transport, not API.
#pragma once

#include <vesk/streamdatagram.h>
#include <vesk/streamreceiver.h>

#include <QByteArray>
#include <QHash>

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <vector>

namespace vesk::detail {

// Datagrams that cannot be judged yet: manifests and anchors until their interval's key is
// disclosed, fragments until a manifest lists them. Nobody has vouched for them, so the pool is
// bounded by count and bytes, for each interval and in all, in two shares: datagrams from the
// register's source, and all others, which cannot push the register's out.
//
// A full interval of a share keeps a uniform random sample of what was offered for it (reservoir
// sampling): the n-th offer keeps a place with probability places / n, in place of a random
// datagram there, so every datagram's chance to stay is the same whoever sent it, and a flood
// costs the genuine stream its share and no more. A full share makes room at random. Nothing is
// refused because a slot (sequence, index) or a counter is taken: forged candidates wait beside
// the real one, however many there are.
class WaitingDatagrams
{
public:
    enum class Kind : std::uint8_t { manifest, fragment, anchor };

    struct Datagram
    {
        Kind kind = Kind::fragment;
        QByteArray bytes;
        // Manifests and fragments.
        StreamDatagram header;
        // Fragments: what a manifest must list for it.
        StreamDatagram::Digest digest {};
        // The interval it waits for.
        std::uint64_t interval = 0;
        StreamReceiver::Source source = 0;
        // Order of arrival, set by the pool.
        std::uint64_t arrival = 0;
    };

    struct Limits
    {
        std::size_t count;
        std::size_t bytes;
        std::size_t perIntervalCount;
        std::size_t perIntervalBytes;
    };

    enum class Offer { kept, copy, crowded };

    WaitingDatagrams(Limits limits, std::uint64_t seed);

    // Offers a datagram to the register's share (`registers`) or the others'. Of a copy of one
    // that waits (the very same bytes) one is kept, in the register's share if either came from
    // there. `pushedOut` grows by the datagrams that lost their place to it.
    Offer offer(Datagram datagram, bool registers, std::uint64_t& pushedOut);
    // The manifests and anchors waiting for `interval`, in the order they came; they leave.
    std::vector<Datagram> takeMaced(std::uint64_t interval);
    // The fragments waiting with that sequence and index, in the order they came; they leave.
    std::vector<Datagram> takeFragments(std::uint32_t sequence, std::uint16_t index);
    // Everything that waits for `interval`; it leaves. How many.
    std::size_t drop(std::uint64_t interval);
    // Everything; how many.
    std::size_t clear();

    bool waitsFor(std::uint64_t interval) const { return m_intervals.contains(interval); }
    // The lowest interval anything waits for.
    std::optional<std::uint64_t> oldest() const;
    std::size_t size() const { return m_entries.size() - m_free.size(); }
    std::size_t bytes() const { return m_shares[0].bytes + m_shares[1].bytes; }

private:
    using Id = std::uint32_t;
    using Ids = std::vector<Id>;

    struct Entry
    {
        Datagram datagram;
        bool registers = false;
        bool used = false;
        // Where it stands in its share's, its interval's and its slot's list.
        std::size_t inShare = 0;
        std::size_t inInterval = 0;
        std::size_t inSlot = 0;
    };
    struct Share
    {
        Ids ids;
        std::size_t bytes = 0;
    };
    struct Interval
    {
        Ids ids[2];
        std::size_t bytes[2] {};
        std::uint64_t offered[2] {};
    };

    static quint64 slot(std::uint32_t sequence, std::uint16_t index)
    {
        return (quint64(sequence) << 16) | index;
    }
    // A random one of `ids`, which is not empty.
    Id pick(const Ids& ids);
    void remove(Id id);
    // Removes `ids[at]` in constant time; `position` is where an entry keeps its place in `ids`.
    void unlist(Ids& ids, std::size_t at, std::size_t Entry::*position);
    std::vector<Datagram> take(Ids ids);

    Limits m_limits;
    std::mt19937_64 m_random;
    std::uint64_t m_arrivals = 0;
    std::vector<Entry> m_entries;
    Ids m_free;
    Share m_shares[2];
    std::map<std::uint64_t, Interval> m_intervals;
    QHash<quint64, Ids> m_slots;
    QHash<QByteArray, Id> m_copies;
};

} // namespace vesk::detail
