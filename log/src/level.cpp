#include <vesk/log/level.h>

#include <array>
#include <utility>

namespace vesk::log {

QString logLevelToStr(Level level)
{
    switch (level) {
    case Level::off:
        return QStringLiteral("off");
    case Level::error:
        return QStringLiteral("error");
    case Level::warn:
        return QStringLiteral("warn");
    case Level::info:
        return QStringLiteral("info");
    case Level::debug:
        return QStringLiteral("debug");
    case Level::trace:
        return QStringLiteral("trace");
    }
    return {};
}

std::optional<Level> logLevelFromString(const QString& text)
{
    static constexpr std::array<std::pair<QStringView, Level>, 6> table { {
        { u"trace", Level::trace },
        { u"debug", Level::debug },
        { u"info", Level::info },
        { u"warning", Level::warn },
        { u"error", Level::error },
        { u"off", Level::off },
    } };
    for (const auto& [name, level] : table) {
        if (text == name)
            return level;
    }
    return std::nullopt;
}

} // namespace vesk::log
