#include "answertally.h"

namespace vesk::detail {

void AnswerTally::answered(int status)
{
    const int index = status - firstStatus;
    const bool known = index >= 0 && index < int(m_answered.size());
    m_answered[std::size_t(known ? index : 500 - firstStatus)].fetch_add(
        1, std::memory_order_relaxed);
}

void AnswerTally::dropped()
{
    m_dropped.fetch_add(1, std::memory_order_relaxed);
}

QMap<int, quint64> AnswerTally::answeredByStatus() const
{
    QMap<int, quint64> counts;
    for (std::size_t i = 0; i < m_answered.size(); ++i) {
        if (const quint64 count = m_answered[i].load(std::memory_order_relaxed))
            counts.insert(firstStatus + int(i), count);
    }
    return counts;
}

} // namespace vesk::detail
