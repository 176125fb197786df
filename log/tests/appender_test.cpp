#include "testsupport.h"

#include <vesk/log/appender.h>

#include <QDateTime>

#include <gtest/gtest.h>

using namespace vesk::log;
using namespace Qt::StringLiterals;
using vesk::log::test::timeStampLength;
using vesk::log::test::timeStampPattern;

namespace {

// The line with its time stamp checked and cut off.
QString afterTimeStamp(const QString& line, const QDateTime& before, const QDateTime& after)
{
    const QString stamp = line.left(timeStampLength);
    EXPECT_TRUE(timeStampPattern().match(stamp).hasMatch()) << line.toStdString();
    const QDateTime time = QDateTime::fromString(stamp, Qt::ISODateWithMs);
    EXPECT_TRUE(time.isValid()) << stamp.toStdString();
    EXPECT_EQ(time.timeSpec(), Qt::LocalTime);
    EXPECT_LE(before, time) << stamp.toStdString();
    EXPECT_LE(time, after) << stamp.toStdString();
    return line.mid(timeStampLength);
}

} // namespace

TEST(AppenderFormat, LevelField)
{
    const struct
    {
        Level level;
        const char* rest;
    } table[] = {
        { Level::off, "    OFF vesk.core - text" },
        { Level::error, "  ERROR vesk.core - text" },
        { Level::warn, "   WARN vesk.core - text" },
        { Level::info, "   INFO vesk.core - text" },
        { Level::debug, "  DEBUG vesk.core - text" },
        { Level::trace, "  TRACE vesk.core - text" },
        { Level(30), "        vesk.core - text" },
    };
    for (const auto& row : table) {
        const QDateTime before = QDateTime::currentDateTime();
        const QString line
            = Appender::format(row.level, QStringLiteral("vesk.core"), QStringLiteral("text"));
        const QDateTime after = QDateTime::currentDateTime();
        EXPECT_EQ(afterTimeStamp(line, before, after), QString::fromLatin1(row.rest))
            << int(row.level);
    }
}

TEST(AppenderFormat, NameAndMessageAreWrittenAsGiven)
{
    const struct
    {
        QString name;
        QString message;
        QString rest;
    } table[] = {
        { u"vesk.core"_s, u"%1 of %2 at 100%"_s, u"   WARN vesk.core - %1 of %2 at 100%"_s },
        { u"%4"_s, u"m"_s, u"   WARN %4 - m"_s },
        { u"%3%2%1"_s, u"%4"_s, u"   WARN %3%2%1 - %4"_s },
        { QString(), QString(), u"   WARN  - "_s },
        { u"vesk.encoder"_s, u"Ошибка: файл «a.mp4»\tне найден"_s,
            u"   WARN vesk.encoder - Ошибка: файл «a.mp4»\tне найден"_s },
        { u"multi"_s, u"line one\nline two"_s, u"   WARN multi - line one\nline two"_s },
    };
    for (const auto& row : table) {
        const QDateTime before = QDateTime::currentDateTime();
        const QString line = Appender::format(Level::warn, row.name, row.message);
        const QDateTime after = QDateTime::currentDateTime();
        EXPECT_EQ(afterTimeStamp(line, before, after), row.rest) << row.rest.toStdString();
    }
}
