#include "logthrottle.h"

#include "logcapture.h"

#include <vesk/log.h>

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using vesk::detail::LogThrottle;
using vesk::log::Level;
using vesk::test::LogCapture;

// Two formats through one throttle of two lines a second, in virtual time: what is written
// when, and what the summaries say.
TEST(LogThrottle, WritesABurstPerWindowAndSummarisesTheRest)
{
    LogCapture::instance().clear();
    LogThrottle throttle(vesk::log::Manager::logger("vesk.server"), 2, 1s);
    const LogThrottle::Clock::time_point t0 {};
    for (int i = 1; i <= 5; ++i)
        throttle.log(Level::error, t0 + i * 100ms, "refused %1", i);
    throttle.log(Level::warn, t0 + 600ms, "other %1", 1);
    EXPECT_EQ(throttle.flush(t0 + 900ms), t0 + 1100ms);
    EXPECT_EQ(LogCapture::instance().messages("vesk.server"),
        QStringList({ "refused 1", "refused 2", "other 1" }));

    // The window of "refused" is over: its summary, then a new window with a fresh burst.
    throttle.log(Level::error, t0 + 1200ms, "refused %1", 6);
    EXPECT_EQ(throttle.flush(t0 + 1300ms), std::nullopt);
    EXPECT_EQ(LogCapture::instance().messages("vesk.server").mid(3),
        QStringList({ "3 similar lines left out in 1000 ms, the last: refused 5", "refused 6" }));

    // A line below the logger's level is neither formatted nor counted: with no burst at all,
    // a counted line would leave a summary due.
    vesk::log::Manager::setLogLevel(Level::error);
    LogThrottle quiet(vesk::log::Manager::logger("vesk.server.quiet"), 0, 1s);
    vesk::log::Manager::setLogLevel(Level::trace);
    quiet.log(Level::info, t0, "never %1", 1);
    EXPECT_EQ(quiet.flush(t0), std::nullopt);
    quiet.log(Level::error, t0, "counted %1", 1);
    EXPECT_EQ(quiet.flush(t0), t0 + 1s);
}
