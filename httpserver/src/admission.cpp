#include "admission.h"

namespace vesk::detail {

Admission::Admission(int maxConnections, int maxPerPeer)
    : m_maxConnections(maxConnections)
    , m_maxPerPeer(maxPerPeer)
{
}

Admission::Verdict Admission::admit(quint32 peer)
{
    QMutexLocker lock(&m_mutex);
    // The address's share first: a peer over it is refused even where it could evict another.
    int& fromPeer = m_perPeer[peer];
    const bool overShare = fromPeer >= m_maxPerPeer;
    if (overShare || m_total >= m_maxConnections) {
        if (fromPeer == 0)
            m_perPeer.remove(peer);
        return overShare ? Verdict::tooManyFromPeer : Verdict::tooMany;
    }
    ++fromPeer;
    ++m_total;
    return Verdict::admitted;
}

void Admission::release(quint32 peer)
{
    QMutexLocker lock(&m_mutex);
    --m_total;
    const auto it = m_perPeer.find(peer);
    if (it != m_perPeer.end() && --it.value() <= 0)
        m_perPeer.erase(it);
}

} // namespace vesk::detail
