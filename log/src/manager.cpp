#include <vesk/log/manager.h>
#include <vesk/log/stdioappender.h>

#include <iostream>
#include <list>

namespace vesk::log {

namespace {

// Loggers are never destroyed, so that a pointer from Manager::logger stays valid for the life
// of the process, even in code that runs after the Manager is gone at exit. They live here
// rather than as bare heap objects so that they stay reachable and leak checkers do not report
// them. The list itself is deliberately never freed; std::list keeps element addresses stable.
std::list<Logger>& allLoggers()
{
    static auto* loggers = new std::list<Logger>;
    return *loggers;
}

// Built when the library is loaded, before any user code runs; <iostream> above makes std::cerr
// usable by then.
Locker<Manager, QRecursiveMutex> g_manager;

} // namespace

Manager::Manager()
    : m_appender(QSharedPointer<StdIoAppender>::create())
{
}

Manager::~Manager() = default;

Logger* Manager::logger(const QString& name)
{
    return g_manager.with([&](Manager& manager) { return manager.getLogger(name); });
}

void Manager::setLogLevel(Level level)
{
    g_manager.with([&](Manager& manager) { manager.m_level = level; });
}

void Manager::setAppender(QSharedPointer<Appender> appender)
{
    g_manager.with([&](Manager& manager) { manager.m_appender = std::move(appender); });
}

Logger* Manager::getLogger(const QString& name)
{
    const QString key = name.isEmpty() ? QStringLiteral("default") : name;
    Logger*& entry = m_loggers[key];
    if (!entry)
        entry = &allLoggers().emplace_back(key, m_level, m_appender);
    return entry;
}

} // namespace vesk::log
