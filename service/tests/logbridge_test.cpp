#include "logbridge.h"

#include "logcapture.h"

#include <vesk/log/fileappender.h>
#include <vesk/log/manager.h>

extern "C" {
#include <libavutil/log.h>
}

#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using vesk::log::Level;

namespace {

using Line = vesk::test::LogCapture::Line;

// The lines logged since the last call, in order.
QList<Line> takeLines()
{
    return vesk::test::LogCapture::instance().take();
}

// A context as FFmpeg logs with: its first member points to its class.
struct FakeContext
{
    const AVClass* avClass;
};

AVClass makeClass(const char* name)
{
    AVClass avClass {};
    avClass.class_name = name;
    avClass.item_name = av_default_item_name;
    avClass.version = LIBAVUTIL_VERSION_INT;
    return avClass;
}

const AVClass namedClass = makeClass("vesk-test-codec");
const AVClass unnamedClass = makeClass(nullptr);

struct Settings
{
    QTemporaryDir dir;
    QString path = dir.filePath("config.ini");

    vesk::service::LoggerSettings read(const QMap<QString, QString>& values)
    {
        {
            QSettings settings(path, QSettings::IniFormat);
            for (auto it = values.cbegin(); it != values.cend(); ++it)
                settings.setValue(it.key(), it.value());
        }
        return vesk::service::readLoggerSettings(QSettings(path, QSettings::IniFormat));
    }
};

} // namespace

// --- Logger settings ---------------------------------------------------------------------------

TEST(LoggerSettings, DefaultsWithoutAFile)
{
    const QSettings settings("/nonexistent/config.ini", QSettings::IniFormat);
    const vesk::service::LoggerSettings s = vesk::service::readLoggerSettings(settings);
    EXPECT_EQ(s.path, "/tillhost/logs/current/morlen-vesk.log");
    EXPECT_EQ(s.maxFiles, 5);
    EXPECT_EQ(s.maxFileSize, 5000);
    EXPECT_EQ(s.level, Level::error);
}

struct LevelCase
{
    const char* text;
    Level level;
};

class LoggerLevel : public testing::TestWithParam<LevelCase>
{
};

TEST_P(LoggerLevel, ExactTextsOnly)
{
    Settings settings;
    EXPECT_EQ(settings.read({ { "Logger/level", GetParam().text } }).level, GetParam().level);
}

INSTANTIATE_TEST_SUITE_P(Texts, LoggerLevel,
    testing::Values(LevelCase { "trace", Level::trace }, LevelCase { "debug", Level::debug },
        LevelCase { "info", Level::info }, LevelCase { "warning", Level::warn },
        LevelCase { "error", Level::error }, LevelCase { "off", Level::off },
        LevelCase { "warn", Level::error }, LevelCase { "Info", Level::error },
        LevelCase { " info", Level::error }, LevelCase { "", Level::error },
        LevelCase { "50", Level::error }));

TEST(LoggerSettings, SizesAndPath)
{
    Settings settings;
    const vesk::service::LoggerSettings s = settings.read({ { "Logger/path", "/tmp/x/vesk.log" },
        { "Logger/maxFiles", "3" }, { "Logger/maxFileSize", "100" } });
    EXPECT_EQ(s.path, "/tmp/x/vesk.log");
    EXPECT_EQ(s.maxFiles, 3);
    EXPECT_EQ(s.maxFileSize, 100);

    Settings garbage;
    const vesk::service::LoggerSettings g
        = garbage.read({ { "Logger/maxFiles", "many" }, { "Logger/maxFileSize", "big" } });
    EXPECT_EQ(g.maxFiles, 0);
    EXPECT_EQ(g.maxFileSize, 0);
}

// maxFileSize is in units of 1000 bytes: with 100, a file of 100,000 bytes is rotated at the next
// size check and one of 96,000 bytes is not.
TEST(LoggerSettings, MaxFileSizeIsInThousandsOfBytes)
{
    Settings settings;
    const vesk::service::LoggerSettings s = settings.read({ { "Logger/maxFileSize", "100" } });
    for (const auto& [initial, rotated] :
        { std::pair { 96000, false }, std::pair { 100000, true } }) {
        QTemporaryDir dir;
        const QString path = dir.filePath("vesk.log");
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(initial, 'x'));
        file.close();
        vesk::log::FileAppender appender(path, s.maxFileSize, 5);
        // The size is looked at on the 102nd line; 101 short lines add about 4,000 bytes.
        for (int i = 0; i < 102; ++i)
            appender.log(Level::error, "t", "m");
        EXPECT_EQ(QFile::exists(path + ".1"), rotated) << initial;
    }
}

// --- Level tables ----------------------------------------------------------------------------

TEST(LevelTables, Ffmpeg)
{
    using vesk::service::ffmpegLevel;
    EXPECT_EQ(ffmpegLevel(AV_LOG_PANIC), Level::error);
    EXPECT_EQ(ffmpegLevel(AV_LOG_FATAL), Level::error);
    EXPECT_EQ(ffmpegLevel(AV_LOG_ERROR), Level::error);
    EXPECT_EQ(ffmpegLevel(AV_LOG_WARNING), Level::info);
    EXPECT_EQ(ffmpegLevel(AV_LOG_INFO), Level::info);
    EXPECT_EQ(ffmpegLevel(AV_LOG_VERBOSE), Level::debug);
    EXPECT_EQ(ffmpegLevel(AV_LOG_DEBUG), Level::debug);
    EXPECT_EQ(ffmpegLevel(AV_LOG_TRACE), Level::trace);
    EXPECT_EQ(ffmpegLevel(AV_LOG_QUIET), Level::info);
    EXPECT_EQ(ffmpegLevel(AV_LOG_DEBUG | AV_LOG_C(134)), Level::debug);
    EXPECT_EQ(ffmpegLevel(AV_LOG_ERROR | AV_LOG_C(1)), Level::error);
}

TEST(LevelTables, Qt)
{
    using vesk::service::qtLevel;
    EXPECT_EQ(qtLevel(QtDebugMsg), Level::debug);
    EXPECT_EQ(qtLevel(QtWarningMsg), Level::warn);
    EXPECT_EQ(qtLevel(QtCriticalMsg), Level::error);
    EXPECT_EQ(qtLevel(QtFatalMsg), Level::error);
    EXPECT_EQ(qtLevel(QtInfoMsg), Level::info);
    EXPECT_EQ(qtLevel(QtMsgType(17)), Level::info);
}

// --- Bridges, through the real libraries -------------------------------------------------------

TEST(Bridges, FfmpegLinesGoToTheLoggerOfTheirClass)
{
    av_log_set_callback(vesk::service::avLogBridge);
    takeLines();
    const FakeContext named { &namedClass };
    const FakeContext unnamed { &unnamedClass };
    av_log(const_cast<FakeContext*>(&named), AV_LOG_WARNING, "queue %d full\n", 3);
    av_log(const_cast<FakeContext*>(&named), AV_LOG_DEBUG | AV_LOG_C(134), "coloured");
    av_log(nullptr, AV_LOG_ERROR, "no context: %s", "x");
    av_log(const_cast<FakeContext*>(&unnamed), AV_LOG_TRACE, "t");
    av_log_set_callback(av_log_default_callback);
    EXPECT_EQ(takeLines(),
        (QList<Line> { { Level::info, "vesk-test-codec", "queue 3 full\n" },
            { Level::debug, "vesk-test-codec", "coloured" },
            { Level::error, "AVUnknown", "no context: x" }, { Level::trace, "default", "t" } }));
}

Q_LOGGING_CATEGORY(testCategory, "vesk.test.category")

TEST(Bridges, QtMessagesGoToTheLoggerOfTheirCategory)
{
    const QtMessageHandler previous = qInstallMessageHandler(vesk::service::qtMessageBridge);
    takeLines();
    qWarning("plain %d", 1);
    qCInfo(testCategory, "categorised");
    qCDebug(testCategory) << "debug";
    qCritical() << "critical";
    qInstallMessageHandler(previous);
    EXPECT_EQ(takeLines(),
        (QList<Line> { { Level::warn, "default", "plain 1" },
            { Level::info, "vesk.test.category", "categorised" },
            { Level::debug, "vesk.test.category", "debug" },
            { Level::error, "default", "critical" } }));
}
