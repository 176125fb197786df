#pragma once

#include <vesk/log/appender.h>

#include <functional>

namespace vesk::log {

// Hands level, logger name and message, unformatted, to a function. Takes no lock: the function
// must be safe to call from any thread. An empty function makes log() throw
// std::bad_function_call, and whatever the function throws reaches the caller of Logger::log.
class CallbackAppender : public Appender
{
public:
    using Callback = std::function<void(Level level, const QString& name, const QString& message)>;

    explicit CallbackAppender(Callback callback);
    CallbackAppender(const CallbackAppender&) = default;
    CallbackAppender(CallbackAppender&&) = default;

    void log(Level level, const QString& name, const QString& message) override;

private:
    Callback m_callback;
};

} // namespace vesk::log
