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
    if (m_total >= m_maxConnections)
        return Verdict::tooMany;
    int& fromPeer = m_perPeer[peer];
    if (fromPeer >= m_maxPerPeer) {
        if (fromPeer == 0)
            m_perPeer.remove(peer);
        return Verdict::tooManyFromPeer;
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
