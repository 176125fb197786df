#pragma once
// Internal header of vesk-service, not API.

#include <vesk/log/level.h>

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <cstdarg>

class QSettings;

namespace vesk::service {

// The "Logger" group of config.ini, defaults applied.
struct LoggerSettings
{
    QString path;
    // Files the rotation keeps, the current one included.
    int maxFiles = 0;
    // In units of 1000 bytes, as the file appender takes it.
    int maxFileSize = 0;
    log::Level level = log::Level::error;
    // One sentence per value that is present but replaced, e.g.
    //   Logger/level "warn" is not one of trace, debug, info, warning, error, off; using error
    QStringList fallbacks;

    // Every key of the group, for telling unknown keys apart.
    static QStringList keys();
};

//   Logger/path         absent -> "/tillhost/logs/current/morlen-vesk.log"
//   Logger/maxFiles     absent -> 5; not a number -> 0
//   Logger/maxFileSize  absent -> 5000; not a number -> 0
//   Logger/level        "trace" "debug" "info" "warning" "error" "off" -> that level;
//                       anything else ("warn", "Info", " info", absent) -> error
LoggerSettings readLoggerSettings(const QSettings& settings);

// FFmpeg's level (colour bits above the low 8 ignored) to ours:
//   0, 8, 16 -> error   32 -> info   40, 48 -> debug   56 -> trace   24 and others -> info
log::Level ffmpegLevel(int level);

//   QtDebugMsg -> debug   QtWarningMsg -> warn   QtCriticalMsg, QtFatalMsg -> error
//   QtInfoMsg -> info     others -> info
log::Level qtLevel(QtMsgType type);

// FFmpeg's log callback: a line goes to the logger named by the class of its context
// ("AVUnknown" without a context) at the level of ffmpegLevel. Safe from any thread.
void avLogBridge(void* avcl, int level, const char* fmt, va_list vl);

// Qt's message handler: a message goes to the logger named by its category at the level of
// qtLevel. Safe from any thread.
void qtMessageBridge(QtMsgType type, const QMessageLogContext& context, const QString& message);

} // namespace vesk::service
