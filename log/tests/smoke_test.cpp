#include <vesk/log.h>

#include <gtest/gtest.h>

#include <sstream>

using namespace vesk::log;

TEST(Smoke, LoggerThroughStream)
{
    std::ostringstream out;
    Manager::setAppender(QSharedPointer<StdIoAppender>::create(out));
    Logger* logger = Manager::logger(QStringLiteral("smoke"));
    logger->info(
        "a %1 b %2 c %3 d %4 e %5", QByteArray("x"), "y", 7, qint64(-8), (unsigned short)9);
    EXPECT_TRUE(out.str().ends_with("   INFO smoke - a x b y c 7 d -8 e 9\n")) << out.str();
}
