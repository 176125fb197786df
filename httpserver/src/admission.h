#pragma once
// Internal header of libvesk_httpserver, not API.

#include <QHash>
#include <QMutex>
#include <QtGlobal>

namespace vesk::detail {

// Counts the connections that are accepted and not yet closed, in all and per peer address, and
// decides whether one more may come in. Safe to use from any thread: the listener admits, the
// worker that closes the connection releases.
class Admission
{
public:
    enum class Verdict { admitted, tooManyFromPeer, tooMany };

    Admission(int maxConnections, int maxPerPeer);

    // Counts the connection in when both limits allow it; otherwise counts nothing.
    Verdict admit(quint32 peer);
    // For every admitted connection, once, when it is closed.
    void release(quint32 peer);

private:
    const int m_maxConnections;
    const int m_maxPerPeer;
    QMutex m_mutex;
    int m_total = 0;
    QHash<quint32, int> m_perPeer;
};

} // namespace vesk::detail
