#include "logbridge.h"

#include <vesk/log/logger.h>
#include <vesk/log/manager.h>

extern "C" {
#include <libavutil/log.h>
}

#include <QSettings>

#include <array>
#include <utility>

namespace vesk::service {

namespace {

constexpr std::array<std::pair<int, log::Level>, 7> ffmpegLevels { {
    { AV_LOG_PANIC, log::Level::error },
    { AV_LOG_FATAL, log::Level::error },
    { AV_LOG_ERROR, log::Level::error },
    { AV_LOG_INFO, log::Level::info },
    { AV_LOG_VERBOSE, log::Level::debug },
    { AV_LOG_DEBUG, log::Level::debug },
    { AV_LOG_TRACE, log::Level::trace },
} };

constexpr std::array<std::pair<QtMsgType, log::Level>, 5> qtLevels { {
    { QtDebugMsg, log::Level::debug },
    { QtWarningMsg, log::Level::warn },
    { QtCriticalMsg, log::Level::error },
    { QtFatalMsg, log::Level::error },
    { QtInfoMsg, log::Level::info },
} };

template <typename Key, std::size_t N>
log::Level lookup(const std::array<std::pair<Key, log::Level>, N>& table, Key key)
{
    for (const auto& [k, level] : table) {
        if (k == key)
            return level;
    }
    return log::Level::info;
}

} // namespace

LoggerSettings readLoggerSettings(const QSettings& settings)
{
    LoggerSettings result;
    result.path
        = settings.value("Logger/path", "/tillhost/logs/current/morlen-vesk.log").toString();
    if (result.path.isEmpty())
        result.fallbacks.append(QStringLiteral("Logger/path is empty; no log file is written"));

    const auto readNumber = [&](const QString& key, int fallback) {
        bool ok = false;
        const int value = settings.value(key, fallback).toInt(&ok);
        if (!ok) {
            result.fallbacks.append(QStringLiteral("%1 \"%2\" is not a number; it reads as 0")
                                        .arg(key, settings.value(key).toString()));
        }
        return value;
    };
    result.maxFiles = readNumber("Logger/maxFiles", 5);
    result.maxFileSize = readNumber("Logger/maxFileSize", 5000);

    const QString level = settings.value("Logger/level").toString();
    result.level = log::logLevelFromString(level).value_or(log::Level::error);
    if (settings.contains("Logger/level") && !log::logLevelFromString(level)) {
        result.fallbacks.append(QStringLiteral("Logger/level \"%1\" is not one of trace, debug, "
                                               "info, warning, error, off; using error")
                                    .arg(level));
    }
    return result;
}

QStringList LoggerSettings::keys()
{
    return { "Logger/path", "Logger/maxFiles", "Logger/maxFileSize", "Logger/level" };
}

log::Level ffmpegLevel(int level)
{
    return lookup(ffmpegLevels, int(unsigned(level) & 0xffu));
}

log::Level qtLevel(QtMsgType type)
{
    return lookup(qtLevels, type);
}

void avLogBridge(void* avcl, int level, const char* fmt, va_list vl)
{
    const log::Level ours = ffmpegLevel(level);
    const QString message = QString::vasprintf(fmt, vl);
    QString name = QStringLiteral("AVUnknown");
    if (avcl) {
        // Every context FFmpeg logs with starts with a pointer to its class.
        const AVClass* avClass = *static_cast<const AVClass* const*>(avcl);
        name = avClass ? QString::fromUtf8(avClass->class_name) : QString();
    }
    log::Manager::logger(name)->log(ours, message);
}

void qtMessageBridge(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    log::Manager::logger(QString::fromUtf8(context.category))->log(qtLevel(type), message);
}

} // namespace vesk::service
