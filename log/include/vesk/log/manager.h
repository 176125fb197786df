#pragma once

#include <vesk/log/appender.h>
#include <vesk/log/level.h>
#include <vesk/log/locker.h>
#include <vesk/log/logger.h>

#include <QMap>
#include <QRecursiveMutex>
#include <QSharedPointer>
#include <QString>

namespace vesk::log {

// The process-wide registry of loggers. There is one Manager, built when the library is loaded
// (default level trace, default appender a StdIoAppender on standard error) and reached through
// the static functions, each of which holds one process-wide recursive mutex for its duration.
//
// A new logger takes a snapshot of the default level and appender; setLogLevel and setAppender
// affect only loggers created afterwards, so configure first, then create the loggers.
class Manager
{
public:
    ~Manager();

    Manager(const Manager&) = delete;
    Manager& operator=(const Manager&) = delete;

    // The logger of that name (case-sensitive; the empty name is "default"), created on first
    // request. Never null; the logger lives until the process ends, even after the Manager.
    static Logger* logger(const QString& name);

    static void setLogLevel(Level level);
    // appender must not be null. The previous one is released here, with the mutex held; it
    // lives on in the loggers that took it.
    static void setAppender(QSharedPointer<Appender> appender);

    // The work of logger(); the caller holds the process-wide mutex.
    Logger* getLogger(const QString& name);

private:
    friend class Locker<Manager, QRecursiveMutex>;
    Manager();

    Level m_level = Level::trace;
    QSharedPointer<Appender> m_appender;
    QMap<QString, Logger*> m_loggers;
};

} // namespace vesk::log
