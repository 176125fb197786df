#include "testsupport.h"

#include <vesk/log/callbackappender.h>
#include <vesk/log/manager.h>
#include <vesk/log/stdioappender.h>

#include <gtest/gtest.h>

#include <atomic>
#include <iostream>
#include <sstream>
#include <thread>
#include <vector>

using namespace vesk::log;
using namespace Qt::StringLiterals;

namespace {

// Asked for while the test program is being loaded, after libvesk_log and before any test, so
// this logger shows the Manager as the library left it.
Logger* const g_loggerAtLoad = Manager::logger(u"vesk.test.at-load"_s);

QSharedPointer<Appender> counting(std::atomic<int>& count)
{
    return QSharedPointer<CallbackAppender>::create(
        [&count](Level, const QString&, const QString&) { ++count; });
}

} // namespace

TEST(Manager, StartsAtTraceWritingToStandardError)
{
    EXPECT_EQ(g_loggerAtLoad->level(), Level::trace);
    ASSERT_TRUE(g_loggerAtLoad->appender().dynamicCast<StdIoAppender>());

    std::ostringstream err;
    std::streambuf* saved = std::cerr.rdbuf(err.rdbuf());
    g_loggerAtLoad->log(Level::trace, u"to stderr"_s);
    std::cerr.rdbuf(saved);
    EXPECT_TRUE(err.str().ends_with("  TRACE vesk.test.at-load - to stderr\n")) << err.str();
}

TEST(Manager, OneLoggerPerName)
{
    Logger* core = Manager::logger(u"vesk.core"_s);
    ASSERT_NE(core, nullptr);
    EXPECT_EQ(core->name(), u"vesk.core"_s);
    EXPECT_EQ(Manager::logger(u"vesk.core"_s), core);
    EXPECT_EQ(Manager::logger(QString::fromUtf8("vesk.core")), core);

    Logger* upper = Manager::logger(u"Vesk.Core"_s);
    EXPECT_NE(upper, core);
    EXPECT_EQ(upper->name(), u"Vesk.Core"_s);

    Logger* byEmpty = Manager::logger(QString());
    EXPECT_EQ(byEmpty->name(), u"default"_s);
    EXPECT_EQ(Manager::logger(u""_s), byEmpty);
    EXPECT_EQ(Manager::logger(u"default"_s), byEmpty);
}

TEST(Manager, NewLoggersTakeASnapshotOfTheDefaults)
{
    std::atomic<int> first = 0;
    std::atomic<int> second = 0;

    Manager::setLogLevel(Level::trace);
    Manager::setAppender(counting(first));
    Logger* before = Manager::logger(u"vesk.test.snapshot.before"_s);

    Manager::setLogLevel(Level::error);
    Logger* afterLevel = Manager::logger(u"vesk.test.snapshot.after-level"_s);
    Manager::setAppender(counting(second));
    Logger* afterBoth = Manager::logger(u"vesk.test.snapshot.after-both"_s);

    // The earlier logger keeps its threshold and its appender.
    EXPECT_EQ(before->level(), Level::trace);
    before->info("kept");
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 0);

    // The later ones drop info; the appender changes only for the logger made after setAppender.
    afterLevel->info("dropped");
    afterBoth->info("dropped");
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 0);
    afterLevel->error("kept");
    afterBoth->error("kept");
    EXPECT_EQ(first, 2);
    EXPECT_EQ(second, 1);

    // A logger asked for again is not rebuilt with the new defaults.
    EXPECT_EQ(Manager::logger(u"vesk.test.snapshot.before"_s), before);
    EXPECT_EQ(before->level(), Level::trace);
}

TEST(Manager, ReplacedAppenderLivesOnInItsLoggers)
{
    auto appender
        = QSharedPointer<CallbackAppender>::create([](Level, const QString&, const QString&) {});
    QWeakPointer<CallbackAppender> watch = appender;
    Manager::setAppender(appender);
    Logger* holder = Manager::logger(u"vesk.test.holder"_s);
    appender.reset();
    static std::atomic<int> ignored = 0;
    Manager::setAppender(counting(ignored));
    EXPECT_FALSE(watch.isNull());
    EXPECT_EQ(holder->appender(), watch.toStrongRef());

    // An appender that no logger took is released as soon as it is replaced.
    auto unused
        = QSharedPointer<CallbackAppender>::create([](Level, const QString&, const QString&) {});
    QWeakPointer<CallbackAppender> unusedWatch = unused;
    Manager::setAppender(std::move(unused));
    Manager::setAppender(QSharedPointer<StdIoAppender>::create());
    EXPECT_TRUE(unusedWatch.isNull());
}

namespace {

// An appender that asks the Manager for a logger while the Manager releases it, as an appender
// that logs its own shutdown would.
class ReentrantAppender : public Appender
{
public:
    explicit ReentrantAppender(Logger*& seen)
        : m_seen(seen)
    {
    }
    ~ReentrantAppender() override { m_seen = Manager::logger(u"vesk.test.reentrant"_s); }
    void log(Level, const QString&, const QString&) override { }

private:
    Logger*& m_seen;
};

} // namespace

TEST(Manager, MutexIsRecursive)
{
    Logger* seen = nullptr;
    Manager::setAppender(QSharedPointer<ReentrantAppender>::create(seen));
    // Releases the ReentrantAppender with the Manager's mutex held; a plain mutex deadlocks here.
    Manager::setAppender(QSharedPointer<StdIoAppender>::create());
    ASSERT_NE(seen, nullptr);
    EXPECT_EQ(seen->name(), u"vesk.test.reentrant"_s);
}

TEST(Manager, ConcurrentRequestsShareOneLoggerPerName)
{
    constexpr int threadCount = 8;
    constexpr int names = 50;
    std::vector<std::vector<Logger*>> seen(threadCount, std::vector<Logger*>(names));
    std::atomic<int> ready = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back([&, t] {
            ++ready;
            while (ready < threadCount) { }
            for (int i = 0; i < names; ++i) {
                const int n = (i + t * 7) % names;
                seen[t][n] = Manager::logger(u"vesk.test.concurrent.%1"_s.arg(n));
                if (i % 10 == 0)
                    Manager::setLogLevel(Level::info);
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    for (int n = 0; n < names; ++n) {
        for (int t = 0; t < threadCount; ++t)
            EXPECT_EQ(seen[t][n], seen[0][n]) << n;
        EXPECT_EQ(seen[0][n]->name(), u"vesk.test.concurrent.%1"_s.arg(n));
    }
}
