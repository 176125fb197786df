#include "earlyfragments.h"

#include <algorithm>

namespace vesk::detail {

EarlyFragments::Added EarlyFragments::add(Fragment fragment)
{
    std::vector<Fragment>& candidates
        = m_slots[slot(fragment.header.sequence, fragment.header.index)];
    for (const Fragment& candidate : candidates)
        if (candidate.digest == fragment.digest)
            return Added::duplicate;
    if (candidates.size() >= m_limits.perSlot || m_size >= m_limits.maxFragments) {
        if (candidates.empty())
            m_slots.remove(slot(fragment.header.sequence, fragment.header.index));
        return Added::refused;
    }
    m_oldest = std::min(m_oldest, fragment.arrived);
    candidates.push_back(std::move(fragment));
    ++m_size;
    return Added::kept;
}

std::vector<EarlyFragments::Fragment> EarlyFragments::take(
    std::uint32_t sequence, std::uint16_t index)
{
    if (m_size == 0)
        return {};
    std::vector<Fragment> taken = m_slots.take(slot(sequence, index));
    m_size -= taken.size();
    return taken;
}

std::size_t EarlyFragments::expire(Clock::time_point now)
{
    if (m_size == 0 || now - m_oldest < m_limits.timeout)
        return 0;
    std::size_t expired = 0;
    m_oldest = Clock::time_point::max();
    for (auto it = m_slots.begin(); it != m_slots.end();) {
        std::vector<Fragment>& candidates = it.value();
        const auto stale = std::remove_if(candidates.begin(), candidates.end(),
            [&](const Fragment& f) { return now - f.arrived >= m_limits.timeout; });
        expired += std::size_t(candidates.end() - stale);
        candidates.erase(stale, candidates.end());
        for (const Fragment& f : candidates)
            m_oldest = std::min(m_oldest, f.arrived);
        it = candidates.empty() ? m_slots.erase(it) : std::next(it);
    }
    m_size -= expired;
    return expired;
}

} // namespace vesk::detail
