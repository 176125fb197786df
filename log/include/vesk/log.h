#pragma once

// The logging library: named loggers from one process-wide Manager, and the appenders that write
// their lines to a stream, a function or a rotating file.
//
//   vesk::log::Manager::setLogLevel(vesk::log::Level::info);
//   vesk::log::Manager::setAppender(
//       QSharedPointer<vesk::log::FileAppender>::create("/var/log/vesk.log", 5000, 5));
//   vesk::log::Logger* log = vesk::log::Manager::logger("vesk.core");
//   log->info("listening on port %1", 8080);

#include <vesk/log/appender.h>
#include <vesk/log/callbackappender.h>
#include <vesk/log/fileappender.h>
#include <vesk/log/level.h>
#include <vesk/log/locker.h>
#include <vesk/log/logger.h>
#include <vesk/log/manager.h>
#include <vesk/log/peertext.h>
#include <vesk/log/qstringarg.h>
#include <vesk/log/stdioappender.h>
