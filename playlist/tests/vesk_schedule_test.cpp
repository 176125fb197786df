#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

struct ToolRun
{
    int status;
    QStringList lines;
    QString error;
};

ToolRun run(const QStringList& arguments, const QByteArray& zone = "UTC")
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TZ"), QString::fromLatin1(zone));
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(VESK_BINARY_DIR "/vesk-schedule"), arguments);
    EXPECT_TRUE(process.waitForFinished(30000));
    const QString out = QString::fromUtf8(process.readAllStandardOutput());
    return { process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
        out.split('\n', Qt::SkipEmptyParts), QString::fromUtf8(process.readAllStandardError()) };
}

class VeskSchedule : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        QFile file(path());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        // 2026-12-24 is a Thursday.
        file.write("[main]\n"
                   "startdate=24.12.2026\n"
                   "starttime=18:00\n"
                   "endtime=19:00\n"
                   "[main.a]\nurl=media/a.mp4\ntimeplay=600\n"
                   "[main.b]\nurl=media/b.mp4\ntimeplay=1200\n"
                   "[late]\npriority=2\nstarttime=23:50\nendtime=00:10\ndays=thu\n"
                   "[late.x]\nurl=media/x.mp4\ntimeplay=300\n"
                   "[broken]\ndays=someday\n[broken.1]\ntimeplay=5\n");
    }

    QString path() const { return m_dir.filePath(QStringLiteral("playlist.ini")); }

    QTemporaryDir m_dir;
};

} // namespace

TEST_F(VeskSchedule, PrintsChainedSlotsAndIdleSpans)
{
    const ToolRun result
        = run({ path(), "--from", "2026-12-24T18:05", "--to", "2026-12-25T00:12" });
    ASSERT_EQ(result.status, 0) << qPrintable(result.error);
    const QStringList expected {
        "2026-12-24T18:00:00Z\t2026-12-24T18:10:00Z\tmain\ta\tmedia/a.mp4",
        "2026-12-24T18:10:00Z\t2026-12-24T18:30:00Z\tmain\tb\tmedia/b.mp4",
        "2026-12-24T18:30:00Z\t2026-12-24T18:40:00Z\tmain\ta\tmedia/a.mp4",
        "2026-12-24T18:40:00Z\t2026-12-24T19:00:00Z\tmain\tb\tmedia/b.mp4",
        "2026-12-24T19:00:00Z\t2026-12-24T23:50:00Z\tidle",
        "2026-12-24T23:50:00Z\t2026-12-24T23:55:00Z\tlate\tx\tmedia/x.mp4",
        "2026-12-24T23:55:00Z\t2026-12-25T00:00:00Z\tlate\tx\tmedia/x.mp4",
        "2026-12-25T00:00:00Z\t2026-12-25T18:00:00Z\tidle",
    };
    EXPECT_EQ(result.lines, expected);
    // The playlist without valid days is reported, not scheduled.
    EXPECT_TRUE(result.error.contains("неизвестное значение поля days: someday"));
    EXPECT_TRUE(result.error.contains("Плейлист 'broken' не имеет дней недели - пропуск"));
}

TEST_F(VeskSchedule, ShowsTheOffsetAcrossAClockChange)
{
    const ToolRun result
        = run({ path(), "--from=2027-03-28T01:00", "--to=2027-03-28T04:00" }, "Europe/Berlin");
    ASSERT_EQ(result.status, 0) << qPrintable(result.error);
    ASSERT_EQ(result.lines.size(), 1);
    EXPECT_EQ(result.lines[0], "2027-03-27T19:00:00+01:00\t2027-03-28T18:00:00+02:00\tidle");
}

TEST_F(VeskSchedule, BadArgumentsAndUnreadableFilesExitWithTwo)
{
    const QList<QStringList> bad {
        {},
        { path() },
        { path(), "--from", "2026-12-24T18:00" },
        { path(), "--from", "tomorrow", "--to", "2026-12-25T00:00" },
        { path(), "--from", "2026-12-24T18:00", "--to", "2026-12-24T17:00" },
        { path(), "--from", "2026-12-24T18:00", "--to" },
        { path(), "extra", "--from", "2026-12-24T18:00", "--to", "2026-12-25T00:00" },
        { path(), "--verbose", "--from", "2026-12-24T18:00", "--to", "2026-12-25T00:00" },
        { m_dir.filePath("missing.ini"), "--from", "2026-12-24T18:00", "--to", "2026-12-25T00:00" },
        { m_dir.path(), "--from", "2026-12-24T18:00", "--to", "2026-12-25T00:00" },
    };
    for (const QStringList& arguments : bad) {
        SCOPED_TRACE(arguments.join(' ').toStdString());
        const ToolRun result = run(arguments);
        EXPECT_EQ(result.status, 2);
        EXPECT_TRUE(result.lines.isEmpty());
        EXPECT_TRUE(result.error.startsWith("vesk-schedule: "));
        EXPECT_EQ(result.error.count('\n'), 1);
    }
}
