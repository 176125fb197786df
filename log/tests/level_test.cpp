#include "testsupport.h"

#include <vesk/log/level.h>

#include <gtest/gtest.h>

#include <optional>

using vesk::log::Level;
using vesk::log::logLevelFromString;
using vesk::log::logLevelToStr;

TEST(Level, ValuesAreFixedAndOrderedByVerbosity)
{
    EXPECT_EQ(int(Level::off), -1);
    EXPECT_EQ(int(Level::error), 0);
    EXPECT_EQ(int(Level::warn), 20);
    EXPECT_EQ(int(Level::info), 50);
    EXPECT_EQ(int(Level::debug), 80);
    EXPECT_EQ(int(Level::trace), 100);
    static_assert(sizeof(Level) == 4);
}

TEST(Level, ToStr)
{
    const struct
    {
        Level level;
        const char* text; // nullptr: a null QString
    } table[] = {
        { Level::off, "off" },
        { Level::error, "error" },
        { Level::warn, "warn" },
        { Level::info, "info" },
        { Level::debug, "debug" },
        { Level::trace, "trace" },
        { Level(30), nullptr },
        { Level(-2), nullptr },
        { Level(101), nullptr },
    };
    for (const auto& row : table) {
        const QString text = logLevelToStr(row.level);
        if (row.text) {
            EXPECT_EQ(text, QString::fromLatin1(row.text)) << int(row.level);
        } else {
            EXPECT_TRUE(text.isNull()) << int(row.level) << " gave " << text.toStdString();
        }
    }
}

TEST(Level, FromString)
{
    const struct
    {
        const char* text;
        std::optional<Level> level;
    } table[] = {
        { "trace", Level::trace },
        { "debug", Level::debug },
        { "info", Level::info },
        { "warning", Level::warn },
        { "error", Level::error },
        { "off", Level::off },
        { "warn", std::nullopt },
        { "Warning", std::nullopt },
        { "WARNING", std::nullopt },
        { "Info", std::nullopt },
        { " info", std::nullopt },
        { "info ", std::nullopt },
        { "info\n", std::nullopt },
        { "", std::nullopt },
        { "50", std::nullopt },
        { "none", std::nullopt },
    };
    for (const auto& row : table)
        EXPECT_EQ(logLevelFromString(QString::fromLatin1(row.text)), row.level) << row.text;
    EXPECT_EQ(logLevelFromString(QString()), std::nullopt);
}
