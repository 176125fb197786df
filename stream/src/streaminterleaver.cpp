#include "streaminterleaver.h"

#include <algorithm>

namespace vesk::detail {

StreamInterleaver::StreamInterleaver(
    std::vector<std::chrono::microseconds> windows, std::size_t batchPackets, const Limits& limits)
    : m_batchPackets(std::max<std::size_t>(1, batchPackets))
    , m_limits(limits)
{
    for (const std::chrono::microseconds window : windows)
        m_tracks.push_back({ window, {}, {}, 0 });
}

void StreamInterleaver::push(std::size_t track, PacketPointer packet, Steady::time_point due)
{
    Track& t = m_tracks.at(track);
    if (t.batchSize == 0 || t.batchSize >= m_batchPackets || due >= t.batchSendAt + t.window) {
        t.batchSendAt = due;
        t.batchSize = 0;
    }
    ++t.batchSize;
    m_bytes += packet ? packet->size : 0;
    ++m_queued;
    t.queue.push_back({ track, std::move(packet), due, std::min(due, t.batchSendAt) });
}

bool StreamInterleaver::ready() const
{
    if (m_ended || m_queued >= m_limits.maxPackets || m_bytes >= m_limits.maxBytes)
        return true;
    std::optional<Steady::time_point> earliest;
    std::optional<Steady::time_point> latest;
    bool silent = false;
    for (const Track& t : m_tracks) {
        if (t.queue.empty()) {
            silent = true;
            continue;
        }
        earliest = std::min(earliest.value_or(t.queue.front().sendAt), t.queue.front().sendAt);
        latest = std::max(latest.value_or(t.queue.back().due), t.queue.back().due);
    }
    return !silent || (earliest && *latest - *earliest >= m_limits.lag);
}

std::optional<StreamInterleaver::Entry> StreamInterleaver::pop()
{
    Track* next = nullptr;
    for (Track& t : m_tracks)
        if (!t.queue.empty() && (!next || t.queue.front().sendAt < next->queue.front().sendAt))
            next = &t;
    if (!next)
        return std::nullopt;
    Entry entry = std::move(next->queue.front());
    next->queue.pop_front();
    --m_queued;
    m_bytes -= entry.packet ? entry.packet->size : 0;
    return entry;
}

} // namespace vesk::detail
