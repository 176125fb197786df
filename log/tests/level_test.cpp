#include <vesk/log.h>

#include <gtest/gtest.h>

using vesk::log::Level;

TEST(Level, ToStringAndBack)
{
    EXPECT_EQ(vesk::log::logLevelToStr(Level::warn), QStringLiteral("warn"));
    EXPECT_EQ(vesk::log::logLevelFromString(QStringLiteral("warning")), Level::warn);
    EXPECT_FALSE(vesk::log::logLevelFromString(QStringLiteral("warn")));
}
