#include "testsupport.h"

#include <vesk/playlist.h>

#include <QBuffer>
#include <QFile>
#include <QMetaProperty>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cctype>

using namespace std::chrono_literals;
using vesk::Playlist;
using vesk::PlaylistParser;

namespace {

const QString parserLogger = QStringLiteral("vesk.playlist.parser");

PlaylistParser parse(const QByteArray& text)
{
    QByteArray data = text;
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    PlaylistParser parser;
    parser.parse(&buffer);
    return parser;
}

QList<QByteArray> sections(const PlaylistParser& parser)
{
    QList<QByteArray> result;
    for (const Playlist& playlist : parser.playlists()) {
        result.append(playlist.section);
    }
    return result;
}

QList<QByteArray> fileSections(const Playlist& playlist)
{
    QList<QByteArray> result;
    for (const Playlist::File& file : playlist.files) {
        result.append(file.section);
    }
    return result;
}

} // namespace

TEST(PlaylistParser, ExampleFileGivesOnePlaylistTwoFilesAndThePlaceholder)
{
    const PlaylistParser parser = parse("[morning]\n"
                                        "priority=3\n"
                                        "startdate=01.12.2026\n"
                                        "starttime=08:00\n"
                                        "endtime=11:30\n"
                                        "days=mon,fri\n"
                                        "[morning.1]\n"
                                        "url=media/a.mp4\n"
                                        "timeplay=15\n"
                                        "[morning.2]\n"
                                        "url=media/b.mp4\n"
                                        "timeplay=30\n"
                                        "[placeholder]\n"
                                        "url=media/idle.png\n");
    ASSERT_EQ(parser.playlists().size(), 1);
    const Playlist playlist = parser.playlists().first();
    EXPECT_EQ(playlist.section, "morning");
    EXPECT_EQ(playlist.priority, 3);
    EXPECT_EQ(playlist.name, "");
    EXPECT_EQ(playlist.startdate, QDate(2026, 12, 1));
    EXPECT_TRUE(playlist.enddate.isNull());
    EXPECT_EQ(playlist.starttime, QTime(8, 0));
    EXPECT_EQ(playlist.endtime, QTime(11, 30));
    EXPECT_EQ(playlist.days, Playlist::Monday | Playlist::Friday);
    ASSERT_EQ(playlist.files.size(), 2);
    EXPECT_EQ(playlist.files[0], (Playlist::File { "1", "media/a.mp4", 15s }));
    EXPECT_EQ(playlist.files[1], (Playlist::File { "2", "media/b.mp4", 30s }));
    EXPECT_EQ(parser.placeholder(), "media/idle.png");
}

TEST(PlaylistParser, SectionsAndCase)
{
    // Headers that differ in case name one playlist; keys match properties in any case.
    PlaylistParser parser = parse("[Promo]\nPriority=4\n[PROMO]\nNAME=Winter\n");
    ASSERT_EQ(sections(parser), QList<QByteArray> { "promo" });
    EXPECT_EQ(parser.playlists()[0].priority, 4);
    EXPECT_EQ(parser.playlists()[0].name, "Winter");

    // Returning to a section updates the first playlist.
    parser = parse("[x]\npriority=1\n[y]\npriority=2\n[x]\nname=again\n");
    ASSERT_EQ(sections(parser), (QList<QByteArray> { "x", "y" }));
    EXPECT_EQ(parser.playlists()[0].priority, 1);
    EXPECT_EQ(parser.playlists()[0].name, "again");

    // Keys before any header belong to the playlist with the empty section.
    parser = parse("priority=7\n[a]\n");
    ASSERT_EQ(sections(parser), QList<QByteArray> { "" });
    EXPECT_EQ(parser.playlists()[0].priority, 7);

    // A header alone creates nothing; blanks inside the brackets stay; non-ASCII is lower-cased.
    parser = parse("[empty]\n[ Spaced ]\nname=s\n[ÜBER]\nname=u\n");
    EXPECT_EQ(sections(parser), (QList<QByteArray> { " spaced ", "über" }));

    // A "section" key renames the playlist, so the next key of that block starts a new one.
    parser = parse("[a]\nsection=b\nname=second\n");
    ASSERT_EQ(sections(parser), (QList<QByteArray> { "b", "a" }));
    EXPECT_EQ(parser.playlists()[1].name, "second");

    // Unknown keys, lines without "=" and later duplicates.
    parser = parse("[a]\ncolour=red\njust words\npriority=1\npriority=2\n = 5\n");
    ASSERT_EQ(sections(parser), QList<QByteArray> { "a" });
    EXPECT_EQ(parser.playlists()[0].priority, 2);
    // "files" and a file's "section" are not keys.
    parser = parse("[a]\nfiles=x\n[a.1]\nsection=z\n");
    ASSERT_EQ(parser.playlists()[0].files.size(), 1);
    EXPECT_EQ(parser.playlists()[0].files[0].section, "1");
}

TEST(PlaylistParser, CommentsAnywhereInTheLine)
{
    const PlaylistParser parser = parse("; a comment line\n"
                                        "# another\n"
                                        "[a] ; the header\n"
                                        "[a.1]\n"
                                        "url = http://host/clip.mp4#t=10\n"
                                        "timeplay = 20 ; seconds\n"
                                        "[a.2]\n"
                                        "url=one#two;three\n"
                                        "[a.3]\n"
                                        "url=x;y#z\n");
    ASSERT_EQ(parser.playlists().size(), 1);
    const Playlist playlist = parser.playlists()[0];
    ASSERT_EQ(playlist.files.size(), 3);
    EXPECT_EQ(playlist.files[0].url, "http://host/clip.mp4");
    EXPECT_EQ(playlist.files[0].timeplay, 20s);
    // ";" is looked for first, wherever "#" is.
    EXPECT_EQ(playlist.files[1].url, "one#two");
    EXPECT_EQ(playlist.files[2].url, "x");
}

TEST(PlaylistParser, PlaceholderSection)
{
    PlaylistParser parser
        = parse("[Placeholder]\nURL=ignored\npriority=5\nurl=first\nurl=second\n");
    EXPECT_EQ(parser.placeholder(), "second");
    EXPECT_TRUE(parser.playlists().isEmpty());

    parser = parse("[placeholder]\nURL=x\n");
    EXPECT_EQ(parser.placeholder(), "");

    // With a dot it is an ordinary file of a playlist called "placeholder".
    parser = parse("[placeholder.x]\nurl=clip\ntimeplay=5\n");
    EXPECT_EQ(parser.placeholder(), "");
    ASSERT_EQ(sections(parser), QList<QByteArray> { "placeholder" });
    EXPECT_EQ(parser.playlists()[0].files[0], (Playlist::File { "x", "clip", 5s }));
}

TEST(PlaylistParser, DottedFileSections)
{
    // The file creates its playlist; the file section is everything after the first dot.
    const PlaylistParser parser = parse("[x.b]\nurl=b\n"
                                        "[x.1.2]\nurl=deep\n"
                                        "[x.a]\nurl=a\n"
                                        "[X.B]\ntimeplay=9\n"
                                        "[x.]\nunknown=1\n"
                                        "[x]\npriority=2\n");
    ASSERT_EQ(sections(parser), QList<QByteArray> { "x" });
    const Playlist playlist = parser.playlists()[0];
    EXPECT_EQ(playlist.priority, 2);
    EXPECT_EQ(fileSections(playlist), (QList<QByteArray> { "b", "1.2", "a", "" }));
    EXPECT_EQ(playlist.files[0], (Playlist::File { "b", "b", 9s }));
    EXPECT_EQ(playlist.files[1].url, "deep");
    // A file without a timeplay key keeps 0 s.
    EXPECT_EQ(playlist.files[2].timeplay, 0s);
}

// Names ride with every message of the stream: one byte over the bound is refused, with a line
// that names what was refused; at the bound everything is kept.
TEST(PlaylistParser, NamesLongerThanAPathAreRefused)
{
    const QByteArray fits(PlaylistParser::maxNameSize, 'u');
    const QByteArray over = fits + 'u';
    for (const QByteArray& url : { fits, over }) {
        SCOPED_TRACE(url.size());
        vesk::test::LogCapture::instance().clear();
        const PlaylistParser parser
            = parse("[main]\nname=" + url + "\n[main.1]\nurl=" + url + "\n[main.2]\nurl=" + over
                + "\nurl=short\n[" + url + "]\npriority=1\n" + "[placeholder]\nurl=" + url + "\n");
        const bool kept = url.size() == PlaylistParser::maxNameSize;
        ASSERT_EQ(sections(parser).size(), kept ? 2 : 1);
        const Playlist main = parser.playlists()[0];
        EXPECT_EQ(main.name, kept ? url : QByteArray());
        // A later, shorter url of the same file counts.
        const QList<QByteArray> files
            = kept ? QList<QByteArray> { "1", "2" } : QList<QByteArray> { "2" };
        EXPECT_EQ(fileSections(main), files);
        EXPECT_EQ(main.files.last().url, "short");
        EXPECT_EQ(parser.placeholder(), kept ? url : QByteArray());
        // The debug dump is logged too; only the refusals are asked for.
        EXPECT_EQ(vesk::test::LogCapture::instance()
                      .messages(parserLogger)
                      .filter(QStringLiteral(" байт")),
            kept ? QStringList()
                 : QStringList({ "  name длиннее 4096 байт - пропущено",
                     "  section длиннее 4096 байт - пропущено",
                     "  placeholder длиннее 4096 байт - пропущено",
                     "  файл 1 плейлиста main отклонен: url длиннее 4096 байт" }));
    }
}

struct DaysCase
{
    const char* text;
    int days;
    QStringList warnings;

    // Names the test case after its text, in characters a test name can hold.
    friend void PrintTo(const DaysCase& c, std::ostream* out)
    {
        QByteArray name = QByteArray(c.text).simplified();
        for (char& ch : name) {
            if (!std::isalnum(static_cast<unsigned char>(ch))) {
                ch = '_';
            }
        }
        *out << (name.isEmpty() ? QByteArray("empty") : name).constData();
    }
};

class PlaylistParserDays : public ::testing::TestWithParam<DaysCase>
{
};

TEST_P(PlaylistParserDays, ReadsDayNames)
{
    vesk::test::LogCapture::instance().clear();
    PlaylistParser parser;
    EXPECT_EQ(parser.parseDays(GetParam().text).toInt(), GetParam().days);
    EXPECT_EQ(vesk::test::LogCapture::instance().messages(parserLogger), GetParam().warnings);
}

INSTANTIATE_TEST_SUITE_P(Table, PlaylistParserDays,
    ::testing::Values(DaysCase { "Mon, wed , SUNDAY", 69, {} },
        DaysCase { "monday,tuesday,wednesday,thursday,friday,saturday,sunday", 127, {} },
        DaysCase { "tue,thu,sat", 42, {} }, DaysCase { "fri,friday", 16, {} },
        DaysCase { "All", 127, {} }, DaysCase { "", 0, { "  неизвестное значение поля days: " } },
        DaysCase { "mon,Funday,,sun", 65,
            { "  неизвестное значение поля days: funday", "  неизвестное значение поля days: " } },
        DaysCase { "mon wed", 0, { "  неизвестное значение поля days: mon wed" } },
        DaysCase { "monda", 0, { "  неизвестное значение поля days: monda" } }));

TEST(PlaylistParser, DaysKeyUsesTheDayReader)
{
    vesk::test::LogCapture::instance().clear();
    PlaylistParser parser = parse("[a]\ndays=sat, sun\n[b]\n[b.1]\nurl=x\n[c]\ndays=never\n");
    ASSERT_EQ(parser.playlists().size(), 3);
    EXPECT_EQ(parser.playlists()[0].days, Playlist::Saturday | Playlist::Sunday);
    EXPECT_EQ(parser.playlists()[1].days.toInt(), 127);
    EXPECT_EQ(parser.playlists()[2].days.toInt(), 0);
    EXPECT_TRUE(vesk::test::LogCapture::instance()
                    .messages(parserLogger)
                    .contains("  неизвестное значение поля days: never"));
}

TEST(PlaylistParser, BadDatesTimesAndNumbersFallBack)
{
    const PlaylistParser parser = parse("[a]\n"
                                        "startdate=2026-12-24\n"
                                        "enddate=31.12.2026\n"
                                        "starttime=8 o'clock\n"
                                        "endtime=17:45:30\n"
                                        "priority=high\n"
                                        "[b]\n"
                                        "startdate=32.01.2026\n"
                                        "enddate=1.2.2026\n"
                                        "starttime=24:00\n"
                                        "endtime=09:00\n"
                                        "priority=-3\n"
                                        "[b.1]\ntimeplay=abc\n"
                                        "[b.2]\ntimeplay=-15\n"
                                        "[b.3]\ntimeplay=12s\n"
                                        "[b.4]\ntimeplay= 600 \n");
    ASSERT_EQ(parser.playlists().size(), 2);
    const Playlist a = parser.playlists()[0];
    EXPECT_TRUE(a.startdate.isNull());
    EXPECT_EQ(a.enddate, QDate(2026, 12, 31));
    EXPECT_TRUE(a.starttime.isNull());
    EXPECT_EQ(a.endtime, QTime(17, 45, 30));
    EXPECT_EQ(a.priority, 0);
    const Playlist b = parser.playlists()[1];
    EXPECT_TRUE(b.startdate.isNull());
    EXPECT_TRUE(b.enddate.isNull());
    EXPECT_TRUE(b.starttime.isNull());
    EXPECT_EQ(b.endtime, QTime(9, 0));
    EXPECT_EQ(b.priority, -3);
    ASSERT_EQ(b.files.size(), 4);
    EXPECT_EQ(b.files[0].timeplay, 0s);
    // The parser keeps a minus sign; the generator decides what it means.
    EXPECT_EQ(b.files[1].timeplay, -15s);
    EXPECT_EQ(b.files[2].timeplay, 0s);
    EXPECT_EQ(b.files[3].timeplay, 600s);
}

TEST(PlaylistParser, ByteOrderMarkAndLineEnds)
{
    // The mark hides the first header, so its keys go to the playlist with the empty section.
    PlaylistParser parser = parse("\xEF\xBB\xBF[first]\npriority=4\n[second]\npriority=5\n");
    ASSERT_EQ(sections(parser), (QList<QByteArray> { "", "second" }));
    EXPECT_EQ(parser.playlists()[0].priority, 4);

    parser = parse("[a]\r\npriority=3\r\n\r\n[a.1]\r\nurl=clip.mp4\r\ntimeplay=10\r\n");
    ASSERT_EQ(sections(parser), QList<QByteArray> { "a" });
    EXPECT_EQ(parser.playlists()[0].priority, 3);
    EXPECT_EQ(parser.playlists()[0].files[0], (Playlist::File { "1", "clip.mp4", 10s }));

    // No line break at the end; blank and comment-only lines in between.
    parser = parse("[a]\n\n   \n; note\n\npriority=8");
    ASSERT_EQ(parser.playlists().size(), 1);
    EXPECT_EQ(parser.playlists()[0].priority, 8);
}

TEST(PlaylistParser, DevicesThatCannotBeRead)
{
    PlaylistParser parser;
    QFile missing(QStringLiteral("/nonexistent/playlist.ini"));
    EXPECT_FALSE(missing.open(QIODevice::ReadOnly));
    parser.parse(&missing);
    EXPECT_TRUE(parser.playlists().isEmpty());

    QBuffer empty;
    empty.open(QIODevice::ReadOnly);
    parser.parse(&empty);
    EXPECT_TRUE(parser.playlists().isEmpty());
    EXPECT_TRUE(parser.placeholder().isEmpty());
}

TEST(PlaylistParser, ReadsARealFileAndASecondParseAddsToTheFirst)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QFile file(dir.filePath(QStringLiteral("playlist.ini")));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("[a]\npriority=1\n[a.1]\nurl=one\n[placeholder]\nurl=p1\n");
    file.close();
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    PlaylistParser parser;
    parser.parse(&file);

    QByteArray more = "[a]\nname=more\n[a.2]\nurl=two\n[b]\n[b.1]\nurl=three\n";
    QBuffer buffer(&more);
    buffer.open(QIODevice::ReadOnly);
    parser.parse(&buffer);
    ASSERT_EQ(sections(parser), (QList<QByteArray> { "a", "b" }));
    EXPECT_EQ(parser.playlists()[0].name, "more");
    EXPECT_EQ(parser.playlists()[0].priority, 1);
    EXPECT_EQ(fileSections(parser.playlists()[0]), (QList<QByteArray> { "1", "2" }));
    EXPECT_EQ(parser.placeholder(), "p1");
}

TEST(PlaylistParser, DebugDumpListsTheResult)
{
    vesk::test::LogCapture::instance().clear();
    parse("[a]\nname=Morning\npriority=2\nstartdate=24.12.2026\nstarttime=08:00\ndays=mon\n"
          "[a.x]\nurl=clip\ntimeplay=12\n[placeholder]\nurl=idle\n[b]\n");
    const QStringList expected {
        "parsed: [",
        "  Playlist{",
        "    name: 'Morning',",
        "    section: 'a',",
        "    priority: 2",
        "    startDate: 2026-12-24,",
        "    endDate: ,",
        "    startTime: 08:00:00,",
        "    endTime: ,",
        "    days: 1,",
        "    files: [",
        "      File{",
        "        section: 'x',",
        "        url: 'clip',",
        "        playtime: 12,",
        "      },",
        "    ],",
        "  },",
        "]",
    };
    EXPECT_EQ(vesk::test::LogCapture::instance().messages(parserLogger), expected);
}

TEST(PlaylistModel, PropertiesAndMetaTypes)
{
    Playlist::registerMetaTypes();
    const QMetaObject& meta = Playlist::staticMetaObject;
    QStringList names;
    for (int i = meta.propertyOffset(); i < meta.propertyCount(); ++i) {
        names.append(QString::fromLatin1(meta.property(i).name()));
    }
    EXPECT_EQ(names,
        (QStringList { "priority", "name", "section", "startdate", "enddate", "starttime",
            "endtime", "days" }));
    const QMetaObject& fileMeta = Playlist::File::staticMetaObject;
    EXPECT_EQ(fileMeta.propertyCount() - fileMeta.propertyOffset(), 2);
    EXPECT_GE(fileMeta.indexOfProperty("url"), 0);
    EXPECT_GE(fileMeta.indexOfProperty("timeplay"), 0);

    EXPECT_EQ(
        QMetaType::fromName("vesk::Playlist::WeekDays"), QMetaType::fromType<Playlist::WeekDays>());
    EXPECT_EQ(
        QMetaType::fromName("std::chrono::seconds"), QMetaType::fromType<std::chrono::seconds>());

    const Playlist defaults;
    EXPECT_EQ(defaults.priority, 0);
    EXPECT_EQ(defaults.days.toInt(), 127);
    EXPECT_TRUE(defaults.startdate.isNull());
    EXPECT_TRUE(defaults.starttime.isNull());
}

TEST(PlaylistParser, ReadsTheSampleDelivery)
{
    QFile file(QStringLiteral(VESK_TEST_DATA_DIR "/playlist.ini"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    PlaylistParser parser;
    parser.parse(&file);
    ASSERT_EQ(sections(parser), (QList<QByteArray> { "main", "lunch", "night" }));
    const Playlist main = parser.playlists()[0];
    EXPECT_EQ(QString::fromUtf8(main.name), QStringLiteral("Всегда"));
    EXPECT_EQ(fileSections(main), (QList<QByteArray> { "1", "2" }));
    EXPECT_EQ(main.files[1].url, "media/coffee.mp4");
    const Playlist lunch = parser.playlists()[1];
    EXPECT_EQ(lunch.days.toInt(), 31);
    const Playlist night = parser.playlists()[2];
    EXPECT_EQ(night.startdate, QDate(2026, 12, 1));
    EXPECT_EQ(night.enddate, QDate(2027, 1, 31));
    EXPECT_EQ(night.days, Playlist::Friday | Playlist::Saturday);
    EXPECT_EQ(parser.placeholder(), "media/idle.png");
}
