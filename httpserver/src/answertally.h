#pragma once
// Internal header of libvesk_httpserver, not API.

#include <QMap>
#include <QtGlobal>

#include <array>
#include <atomic>

namespace vesk::detail {

// Counts what the server did with each connection: the status code of every answer it wrote, and
// the connections it closed without one. Lock-free, so that counting costs a flood nothing: the
// listener and every worker count at once, a reader takes a copy from any thread.
class AnswerTally
{
public:
    // A status outside 100..599 is counted as 500, the only answer the server makes of a
    // handler's mistakes.
    void answered(int status);
    void dropped();

    QMap<int, quint64> answeredByStatus() const;
    quint64 droppedCount() const { return m_dropped.load(std::memory_order_relaxed); }

private:
    static constexpr int firstStatus = 100;
    std::array<std::atomic<quint64>, 500> m_answered {};
    std::atomic<quint64> m_dropped { 0 };
};

} // namespace vesk::detail
