#include "testsupport.h"

#include <vesk/log/callbackappender.h>
#include <vesk/log/logger.h>

#include <QFlags>

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <tuple>
#include <vector>

using namespace vesk::log;
using namespace Qt::StringLiterals;

namespace {

using Record = std::tuple<Level, QString, QString>;

struct Recorder
{
    std::vector<Record> records;
    QSharedPointer<Appender> appender = QSharedPointer<CallbackAppender>::create(
        [this](Level l, const QString& name, const QString& message) {
            records.emplace_back(l, name, message);
        });
};

enum class Day { monday = 1, tuesday = 2, wednesday = 4 };
using Days = QFlags<Day>;

constexpr Level allLevels[]
    = { Level::off, Level::error, Level::warn, Level::info, Level::debug, Level::trace };

} // namespace

static_assert(QStringArg<QString>);
static_assert(QStringArg<const QString&>);
static_assert(QStringArg<QByteArray&>);
static_assert(QStringArg<const char*>);
static_assert(QStringArg<char*>);
static_assert(QStringArg<const char (&)[4]>);
static_assert(QStringArg<int>);
static_assert(QStringArg<unsigned short>);
static_assert(QStringArg<qint64>);
static_assert(QStringArg<Days>);
static_assert(QStringArg<Level>);
static_assert(!QStringArg<bool>);
static_assert(!QStringArg<char>);
static_assert(!QStringArg<std::string>);
static_assert(!QStringArg<const void*>);
static_assert(!QStringArg<int*>);

TEST(Logger, LevelFilter)
{
    // Every pair of threshold and message level: a message passes when its level <= threshold.
    for (Level threshold : allLevels) {
        Recorder recorder;
        Logger logger(u"vesk.test"_s, threshold, recorder.appender);
        EXPECT_EQ(logger.level(), threshold);
        for (Level l : allLevels) {
            const bool passes = int(l) <= int(threshold);
            EXPECT_EQ(logger.isLevelEnabled(l), passes) << int(threshold) << " " << int(l);
            recorder.records.clear();
            logger.log(l, u"m"_s);
            EXPECT_EQ(recorder.records.size(), passes ? 1u : 0u) << int(threshold) << " " << int(l);
        }
    }

    // The two edges named by the design: off passes not even error, error passes off.
    Recorder recorder;
    Logger off(u"off"_s, Level::off, recorder.appender);
    off.error("e");
    EXPECT_TRUE(recorder.records.empty());
    Logger error(u"error"_s, Level::error, recorder.appender);
    error.log(Level::off, u"o"_s);
    error.warn("w");
    ASSERT_EQ(recorder.records.size(), 1u);
    EXPECT_EQ(recorder.records[0], Record(Level::off, u"error"_s, u"o"_s));
}

TEST(Logger, PassesNameAndMessageUnchanged)
{
    Recorder recorder;
    Logger logger(u"vesk.playlist.parser"_s, Level::trace, recorder.appender);
    EXPECT_EQ(logger.name(), u"vesk.playlist.parser"_s);
    EXPECT_EQ(logger.appender(), recorder.appender);
    logger.log(Level::info, u"100% %1 done"_s);
    ASSERT_EQ(recorder.records.size(), 1u);
    EXPECT_EQ(
        recorder.records[0], Record(Level::info, u"vesk.playlist.parser"_s, u"100% %1 done"_s));
}

TEST(Logger, FormattingFunctionsUseTheirLevel)
{
    Recorder recorder;
    Logger logger(u"n"_s, Level::trace, recorder.appender);
    logger.debug("d %1", 1);
    logger.info("i %1", 2);
    logger.warn("w %1", 3);
    logger.error("e %1", 4);
    logger.info("no arguments, %1 kept");
    const std::vector<Record> expected {
        { Level::debug, u"n"_s, u"d 1"_s },
        { Level::info, u"n"_s, u"i 2"_s },
        { Level::warn, u"n"_s, u"w 3"_s },
        { Level::error, u"n"_s, u"e 4"_s },
        { Level::info, u"n"_s, u"no arguments, %1 kept"_s },
    };
    EXPECT_EQ(recorder.records, expected);

    Recorder quiet;
    Logger warnOnly(u"q"_s, Level::warn, quiet.appender);
    warnOnly.debug("d");
    warnOnly.info("i");
    warnOnly.warn("w");
    warnOnly.error("e");
    ASSERT_EQ(quiet.records.size(), 2u);
    EXPECT_EQ(std::get<0>(quiet.records[0]), Level::warn);
    EXPECT_EQ(std::get<0>(quiet.records[1]), Level::error);
}

TEST(Logger, Concat)
{
    char mutableText[] = "mutable";
    const QByteArray utf8("Привет");
    const struct
    {
        QString got;
        QString expected;
    } table[] = {
        { Logger::concat(u"%1"_s), u"%1"_s },
        { Logger::concat(u"plain"_s), u"plain"_s },
        { Logger::concat(u"creating new listener at %1 with port %2"_s, u"10.0.0.1"_s, 49152),
            u"creating new listener at 10.0.0.1 with port 49152"_s },
        { Logger::concat(u"%2 then %1"_s, "first", "second"), u"second then first"_s },
        { Logger::concat(u"%1 %1"_s, 7), u"7 7"_s },
        { Logger::concat(u"[%1] [%2] [%3]"_s, utf8, "Ошибка", mutableText),
            u"[Привет] [Ошибка] [mutable]"_s },
        { Logger::concat(u"%1 %2 %3"_s, std::numeric_limits<int>::min(),
              static_cast<unsigned short>(65535), qint64(9'000'000'000)),
            u"-2147483648 65535 9000000000"_s },
        { Logger::concat(u"%1 %2"_s, std::numeric_limits<quint64>::max(), qint64(-1)),
            u"18446744073709551615 -1"_s },
        { Logger::concat(u"days %1"_s, Days(Day::monday) | Day::wednesday), u"days 5"_s },
        { Logger::concat(u"level %1"_s, Level::warn), u"level 20"_s },
        { Logger::concat(u"%1"_s, 0.5), u"0.5"_s },
        { Logger::concat(u"%1 and %2"_s, QString()), u" and %2"_s },
        // A marker that a value brings along stays text: a delivered name cannot take the
        // place of what follows it.
        { Logger::concat(u"file %1 in %2"_s, "%2%1", "sync_dir"), u"file %2%1 in sync_dir"_s },
    };
    for (const auto& row : table)
        EXPECT_EQ(row.got, row.expected) << row.expected.toStdString();
}
