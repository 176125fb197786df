#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>
#include <QXmlStreamReader>

#include <cmath>

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

    QString write(const QString& name, const QByteArray& content)
    {
        QFile file(m_dir.filePath(name));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
        return file.fileName();
    }

    // Main 08-22 every day, a noon window on weekdays above it, an evening window across midnight
    // on all days but Sunday above that, and a placeholder for the idle hours.
    QString week()
    {
        return write("week.ini",
            "[main]\nstarttime=08:00\nendtime=22:00\n"
            "[main.a]\nurl=media/a.mp4\ntimeplay=600\n[main.b]\nurl=media/b.mp4\ntimeplay=1200\n"
            "[noon]\npriority=5\nstarttime=12:00\nendtime=13:00\ndays=mon,tue,wed,thu,fri\n"
            "[noon.promo]\nurl=media/promo.mp4\ntimeplay=900\n"
            "[evening]\npriority=2\nstarttime=21:00\nendtime=01:00\ndays=mon,tue,wed,thu,fri,sat\n"
            "[evening.e]\nurl=media/e.mp4\ntimeplay=1500\n"
            "[placeholder]\nurl=media/still.png\n");
    }

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
        { path(), "--svg" },
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

namespace {

struct Rect
{
    double x;
    double width;
    QString fill;
    QStringList title;
};

struct Row
{
    QString date;
    QString label;
    double x = 0;
    double width = 0;
    QList<Rect> rects;
};

struct Chart
{
    QList<Row> rows;
    QMap<QString, QString> legendFills;
    QStringList legend;
    QStringList patterns;
};

Chart readChart(const QString& path)
{
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    QXmlStreamReader xml(&file);
    Chart chart;
    Row* row = nullptr;
    bool legend = false;
    QString legendFill;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement) {
            continue;
        }
        const auto attribute = [&](const char* name) {
            return xml.attributes().value(QLatin1String(name)).toString();
        };
        const QStringView name = xml.name();
        if (name == u"g" && attribute("class") == "day") {
            row = &chart.rows.emplaceBack();
            row->date = attribute("id").mid(4);
        } else if (name == u"g" && attribute("class") == "legend") {
            row = nullptr;
            legend = true;
        } else if (name == u"pattern") {
            chart.patterns.append(attribute("id"));
        } else if (name == u"rect" && row && attribute("class") == "frame") {
            row->x = attribute("x").toDouble();
            row->width = attribute("width").toDouble();
        } else if (name == u"rect" && row) {
            row->rects.append({ attribute("x").toDouble(), attribute("width").toDouble(),
                attribute("fill"), {} });
        } else if (name == u"rect" && legend) {
            legendFill = attribute("fill");
        } else if (name == u"title" && row && !row->rects.isEmpty()) {
            row->rects.back().title = xml.readElementText().split('\n');
        } else if (name == u"text" && row && row->label.isEmpty()) {
            row->label = xml.readElementText();
        } else if (name == u"text" && legend) {
            chart.legend.append(xml.readElementText());
            chart.legendFills[chart.legend.back().section(' ', 0, 0).remove(':')] = legendFill;
        }
    }
    EXPECT_FALSE(xml.hasError()) << qPrintable(xml.errorString());
    return chart;
}

// A row as "from-to who" in hours since the day's first instant, neighbours of one playlist
// merged: the picture read back as a person reads it.
QString spans(const Row& row, double pixelsPerHour)
{
    QStringList out;
    QString who;
    double from = 0;
    double to = -1;
    const auto hours = [&](double x) {
        return QString::number(std::round((x - row.x) / pixelsPerHour * 100) / 100);
    };
    const auto flush = [&] {
        if (to >= 0) {
            out.append(hours(from) + '-' + hours(to) + ' ' + who);
        }
    };
    for (const Rect& rect : row.rects) {
        const QString next = rect.title.value(1).section(' ', 0, 0);
        if (next != who || std::abs(rect.x - to) > 0.01) {
            flush();
            who = next;
            from = rect.x;
        }
        to = rect.x + rect.width;
    }
    flush();
    return out.join(", ");
}

} // namespace

TEST_F(VeskSchedule, DrawsAWeekAcrossTheClockChange)
{
    // 2026-10-25, a Sunday, has 25 hours in Berlin.
    const QString svg = m_dir.filePath("week.svg");
    const ToolRun result
        = run({ week(), "--from", "2026-10-21T00:00", "--to", "2026-10-28T00:00", "--svg", svg },
            "Europe/Berlin");
    ASSERT_EQ(result.status, 0) << qPrintable(result.error);
    EXPECT_TRUE(result.lines.isEmpty());
    const Chart chart = readChart(svg);
    ASSERT_EQ(chart.rows.size(), 7);
    const double pixelsPerHour = chart.rows[0].width / 24;
    const QString weekday
        = "0-1 evening, 1-8 idle, 8-12 main, 12-13 noon, 13-21 main, 21-24 evening";
    const QList<QStringList> expected {
        { "2026-10-21", "Wed 2026-10-21", weekday },
        { "2026-10-22", "Thu 2026-10-22", weekday },
        { "2026-10-23", "Fri 2026-10-23", weekday },
        { "2026-10-24", "Sat 2026-10-24", "0-1 evening, 1-8 idle, 8-21 main, 21-24 evening" },
        { "2026-10-25", "Sun 2026-10-25", "0-9 idle, 9-23 main, 23-25 idle" },
        { "2026-10-26", "Mon 2026-10-26", weekday },
        { "2026-10-27", "Tue 2026-10-27", weekday },
    };
    int splitSlots = 0;
    for (qsizetype i = 0; i < chart.rows.size(); ++i) {
        const Row& row = chart.rows[i];
        SCOPED_TRACE(row.date.toStdString());
        EXPECT_EQ(QStringList({ row.date, row.label, spans(row, pixelsPerHour) }), expected[i]);
        EXPECT_DOUBLE_EQ(row.width, pixelsPerHour * (i == 4 ? 25 : 24));
        for (const Rect& rect : row.rects) {
            EXPECT_EQ(rect.fill, chart.legendFills.value(rect.title.value(1).section(' ', 0, 0)));
        }
        // A slot that runs past midnight ends this row and begins the next, titled the same.
        ASSERT_FALSE(row.rects.isEmpty());
        const Rect& last = row.rects.back();
        if (i + 1 < chart.rows.size()
            && last.title[0].section(" – ", 1).left(19) > chart.rows[i + 1].date + "T00:00:00") {
            EXPECT_NEAR(last.x + last.width, row.x + row.width, 0.01);
            EXPECT_EQ(chart.rows[i + 1].rects.front().title, last.title);
            EXPECT_EQ(chart.rows[i + 1].rects.front().x, chart.rows[i + 1].x);
            ++splitSlots;
        }
    }
    EXPECT_EQ(splitSlots, 4); // Wed, Thu, Fri and Mon nights; Saturday's window ends at midnight.
    EXPECT_EQ(chart.rows[0].rects.back().title,
        QStringList({ "2026-10-21T23:55:00+02:00 – 2026-10-22T00:20:00+02:00",
            "evening (priority 2)", "e: media/e.mp4" }));
    EXPECT_EQ(chart.legend,
        QStringList({ "noon (priority 5): 12:00–13:00, Mon Tue Wed Thu Fri",
            "evening (priority 2): 21:00–01:00, Mon Tue Wed Thu Fri Sat",
            "main (priority 0): 08:00–22:00, every day", "idle: placeholder media/still.png" }));
    EXPECT_EQ(chart.legendFills.value("idle"), "url(#placeholder)");
    EXPECT_EQ(chart.patterns, QStringList { "placeholder" });

    // A week of 10-second slots, two playlists sharing the screen, stays a small picture.
    const QString small = m_dir.filePath("small.svg");
    const ToolRun shortSlots = run({ write("short.ini",
                                         "[main]\nstarttime=06:00\nendtime=23:00\n"
                                         "[main.a]\ntimeplay=10\n[main.b]\ntimeplay=10\n"
                                         "[other]\nstarttime=06:00\nendtime=23:00\n"
                                         "[other.x]\ntimeplay=10\n"
                                         "[noon]\npriority=5\nstarttime=12:00\nendtime=13:00\n"
                                         "[noon.p]\ntimeplay=10\n"),
                                       "--from", "2026-10-21T00:00", "--svg", small },
        "Europe/Berlin");
    ASSERT_EQ(shortSlots.status, 0) << qPrintable(shortSlots.error);
    EXPECT_LT(QFileInfo(small).size(), 200 * 1024);
    const Chart smallChart = readChart(small);
    ASSERT_EQ(smallChart.rows.size(), 7);
    EXPECT_EQ(smallChart.legendFills.value("main"), chart.legendFills.value("main"));
    EXPECT_NE(smallChart.legendFills.value("idle"), "url(#placeholder)");
}

TEST_F(VeskSchedule, SummarisesEachDayToItsRealLength)
{
    // From before the autumn change to after the spring one: every day's columns add up to its
    // length, and only the change days are not 24 hours long.
    const ToolRun result
        = run({ week(), "--summary", "--from", "2026-10-21T00:00", "--to", "2027-03-29T00:00" },
            "Europe/Berlin");
    ASSERT_EQ(result.status, 0) << qPrintable(result.error);
    ASSERT_EQ(result.lines.size(), 1 + 159);
    EXPECT_EQ(result.lines[0].simplified(), "date day hours main noon evening idle idle spans");
    const auto seconds = [](const QString& text) {
        const QStringList parts = text.split(':');
        return parts.size() == 3
            ? parts[0].toInt() * 3600 + parts[1].toInt() * 60 + parts[2].toInt()
            : -1;
    };
    for (const QString& line : result.lines.mid(1)) {
        SCOPED_TRACE(line.toStdString());
        const QStringList columns = line.simplified().split(' ');
        ASSERT_GE(columns.size(), 7);
        const int hours = columns[0] == "2026-10-25" ? 25 : columns[0] == "2027-03-28" ? 23 : 24;
        EXPECT_EQ(seconds(columns[2]), hours * 3600);
        EXPECT_EQ(
            seconds(columns[3]) + seconds(columns[4]) + seconds(columns[5]) + seconds(columns[6]),
            hours * 3600);
        const bool weekend = columns[1] == "Sat" || columns[1] == "Sun";
        EXPECT_EQ(columns[4], weekend ? "0:00:00" : "1:00:00");
        EXPECT_EQ(columns.mid(7).join(' '),
            columns[1] == "Sun" ? "00:00-08:00 22:00-24:00" : "01:00-08:00");
    }

    // Without a range: the seven days from the start of today (the tool runs in UTC).
    const auto today = [] { return QDateTime::currentDateTimeUtc().date().toString(Qt::ISODate); };
    const QString before = today();
    const ToolRun coming = run({ week(), "--summary" });
    ASSERT_EQ(coming.lines.size(), 1 + 7);
    EXPECT_TRUE(coming.lines[1].startsWith(before) || coming.lines[1].startsWith(today()));
}
