#include "rejoiner.h"

#include <utility>

namespace vesk::display {

Rejoiner::Rejoiner(const QHostAddress& host, quint16 port, int timeoutMs)
    : m_host(host)
    , m_port(port)
    , m_timeoutMs(timeoutMs)
{
}

Rejoiner::~Rejoiner()
{
    m_cancel = true;
    if (m_thread.joinable())
        m_thread.join();
}

void Rejoiner::start()
{
    if (asking())
        return;
    if (m_thread.joinable())
        m_thread.join();
    {
        const std::lock_guard lock(m_mutex);
        m_done = false;
    }
    m_thread = std::thread([this] {
        Answer answer;
        answer.access = connectToStream(m_host, m_port, m_timeoutMs, answer.error, &m_cancel);
        const std::lock_guard lock(m_mutex);
        m_answer = std::move(answer);
        m_done = true;
    });
}

bool Rejoiner::asking() const
{
    const std::lock_guard lock(m_mutex);
    return m_thread.joinable() && (!m_done || m_answer);
}

std::optional<Rejoiner::Answer> Rejoiner::take()
{
    const std::lock_guard lock(m_mutex);
    return std::exchange(m_answer, std::nullopt);
}

} // namespace vesk::display
