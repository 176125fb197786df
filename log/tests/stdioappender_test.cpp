#include "testsupport.h"

#include <vesk/log/logger.h>
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

// Counts the flushes that std::endl makes.
class CountingBuffer : public std::stringbuf
{
public:
    int syncs = 0;

protected:
    int sync() override
    {
        ++syncs;
        return std::stringbuf::sync();
    }
};

} // namespace

TEST(StdIoAppender, WritesOneFlushedUtf8Line)
{
    CountingBuffer buffer;
    std::ostream stream(&buffer);
    StdIoAppender appender(stream);
    appender.log(Level::warn, u"vesk.core"_s, u"диск %1 полон"_s);
    const std::string text = buffer.str();
    ASSERT_GT(text.size(), size_t(test::timeStampLength));
    EXPECT_TRUE(test::timeStampPattern()
                    .match(QString::fromStdString(text.substr(0, test::timeStampLength)))
                    .hasMatch())
        << text;
    EXPECT_EQ(text.substr(test::timeStampLength), "   WARN vesk.core - диск %1 полон\n");
    EXPECT_EQ(buffer.syncs, 1);
}

TEST(StdIoAppender, DefaultStreamIsStandardError)
{
    test::StderrCapture capture;
    StdIoAppender appender;
    appender.log(Level::error, u"n"_s, u"m"_s);
    const QByteArray text = capture.take();
    EXPECT_TRUE(text.endsWith("  ERROR n - m\n")) << text.toStdString();
    EXPECT_EQ(text.count('\n'), 1);
}

TEST(StdIoAppender, ConcurrentLinesStayWhole)
{
    std::ostringstream stream;
    auto appender = QSharedPointer<StdIoAppender>::create(stream);
    constexpr int threadCount = 6;
    constexpr int lines = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back([&, t] {
            Logger logger(u"thread-%1"_s.arg(t), Level::trace, appender);
            for (int i = 0; i < lines; ++i)
                logger.info("line %1 of thread %2 %3", i, t, QString(40, u'x'));
        });
    }
    for (auto& thread : threads)
        thread.join();

    const QList<QByteArray> all = QByteArray::fromStdString(stream.str()).split('\n');
    ASSERT_EQ(all.size(), threadCount * lines + 1);
    EXPECT_TRUE(all.back().isEmpty());
    std::vector<int> next(threadCount, 0);
    const QRegularExpression pattern(
        u"^.{23}   INFO thread-(\\d) - line (\\d+) of thread \\1 x{40}$"_s);
    for (qsizetype k = 0; k + 1 < all.size(); ++k) {
        const auto match = pattern.match(QString::fromUtf8(all[k]));
        ASSERT_TRUE(match.hasMatch()) << all[k].toStdString();
        const int t = match.captured(1).toInt();
        // Each thread's lines arrive whole and in its own order.
        EXPECT_EQ(match.captured(2).toInt(), next[t]++);
    }
}
