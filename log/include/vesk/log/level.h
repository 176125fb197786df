#pragma once

#include <QString>

#include <cstdint>
#include <optional>

namespace vesk::log {

// Severity of a message and threshold of a logger. A larger number is more verbose; a message
// passes a logger when its level is numerically less than or equal to the logger's.
enum class Level : std::int32_t {
    off = -1,
    error = 0,
    warn = 20,
    info = 50,
    debug = 80,
    trace = 100,
};

// "off", "error", "warn", "info", "debug", "trace"; a null QString for any other value.
QString logLevelToStr(Level level);

// Exact, case-sensitive match. Accepts "warning" for warn (and not "warn"), so the texts of
// logLevelToStr and of the configuration file differ on purpose:
//   "trace" -> trace   "debug" -> debug   "info" -> info   "warning" -> warn
//   "error" -> error   "off" -> off       "warn", "Warning", " info", "" -> nullopt
std::optional<Level> logLevelFromString(const QString& text);

} // namespace vesk::log
