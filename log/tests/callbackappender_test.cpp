#include "testsupport.h"

#include <vesk/log/callbackappender.h>
#include <vesk/log/logger.h>

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <tuple>
#include <vector>

using namespace vesk::log;
using namespace Qt::StringLiterals;

namespace {
using Record = std::tuple<Level, QString, QString>;
}

TEST(CallbackAppender, PassesTheValuesUnformatted)
{
    std::vector<Record> records;
    CallbackAppender appender([&](Level l, const QString& name, const QString& message) {
        records.emplace_back(l, name, message);
    });
    appender.log(Level::debug, u"vesk.core"_s, u"a %1 b"_s);
    appender.log(Level(30), QString(), QString());
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0], Record(Level::debug, u"vesk.core"_s, u"a %1 b"_s));
    EXPECT_EQ(records[1], Record(Level(30), QString(), QString()));
}

TEST(CallbackAppender, CopyAndMoveKeepTheCallback)
{
    int calls = 0;
    CallbackAppender original([&](Level, const QString&, const QString&) { ++calls; });
    CallbackAppender copy(original);
    CallbackAppender moved(std::move(copy));
    original.log(Level::info, u"n"_s, u"m"_s);
    moved.log(Level::info, u"n"_s, u"m"_s);
    EXPECT_EQ(calls, 2);
}

TEST(CallbackAppender, ExceptionsReachTheCallerOfLoggerLog)
{
    Logger empty(u"empty"_s, Level::trace,
        QSharedPointer<CallbackAppender>::create(CallbackAppender::Callback()));
    EXPECT_THROW(empty.log(Level::info, u"m"_s), std::bad_function_call);

    Logger throwing(u"throwing"_s, Level::trace,
        QSharedPointer<CallbackAppender>::create(
            [](Level, const QString&, const QString&) { throw std::runtime_error("sink down"); }));
    EXPECT_THROW(throwing.error("m"), std::runtime_error);
    // Below the threshold the appender is not called at all.
    Logger quiet(u"quiet"_s, Level::error,
        QSharedPointer<CallbackAppender>::create(CallbackAppender::Callback()));
    EXPECT_NO_THROW(quiet.log(Level::info, u"m"_s));
}
