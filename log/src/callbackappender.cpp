#include <vesk/log/callbackappender.h>

#include <utility>

namespace vesk::log {

CallbackAppender::CallbackAppender(Callback callback)
    : m_callback(std::move(callback))
{
}

void CallbackAppender::log(Level level, const QString& name, const QString& message)
{
    m_callback(level, name, message);
}

} // namespace vesk::log
