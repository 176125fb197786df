#include "testsupport.h"

#include <vesk/playlist.h>

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using vesk::Generator;
using vesk::Playlist;
using vesk::test::at;

namespace {

const QString generatorLogger = QStringLiteral("vesk.playlist.generator");

Playlist::File file(const char* section, std::chrono::seconds timeplay)
{
    return { section, QByteArray("media/") + section, timeplay };
}

struct Window
{
    QTime start {};
    QTime end {};
    int days = Playlist::everyDay;
    QDate startdate {};
    QDate enddate {};
};

Playlist playlist(const char* section, int priority, QList<Playlist::File> files, Window w = {})
{
    Playlist result;
    result.section = section;
    result.priority = priority;
    result.files = std::move(files);
    result.starttime = w.start;
    result.endtime = w.end;
    result.days = Playlist::WeekDays(w.days);
    result.startdate = w.startdate;
    result.enddate = w.enddate;
    return result;
}

// An answer in a form that compares and prints well.
struct Slot
{
    QDateTime start;
    QDateTime end;
    QByteArray playlist {};
    QByteArray file {};

    friend bool operator==(const Slot&, const Slot&) = default;
    friend std::ostream& operator<<(std::ostream& out, const Slot& slot)
    {
        return out << qPrintable(slot.start.toString(Qt::ISODateWithMs)) << " - "
                   << qPrintable(slot.end.toString(Qt::ISODateWithMs)) << " "
                   << (slot.playlist.isNull() ? "idle" : slot.playlist.constData()) << "/"
                   << slot.file.constData();
    }
};

Slot slot(const Generator::Item& item)
{
    return { item.start, item.end, item.playlist ? item.playlist->section : QByteArray(),
        item.file ? item.file->section : QByteArray() };
}

Slot expect(
    const char* start, const char* end, const char* playlist = nullptr, const char* file = nullptr)
{
    return { at(start), at(end), QByteArray(playlist), QByteArray(file) };
}

QDateTime utc(const char* text)
{
    const QString both = QString::fromLatin1(text);
    return QDateTime(QDate::fromString(both.left(10), Qt::ISODate),
        QTime::fromString(both.mid(11), Qt::ISODate), Qt::UTC);
}

} // namespace

TEST(Generator, WorkedExample)
{
    Generator generator;
    generator.setPlaylists({
        playlist("main", 0, { file("clip-a", 10s), file("clip-b", 20s) }),
        playlist("noon", 5, { file("promo", 15s) }, { QTime(12, 0), QTime(13, 0) }),
    });

    EXPECT_EQ(slot(generator.next(at("2026-12-24 12:00:40"))),
        expect("2026-12-24 12:00:30", "2026-12-24 12:00:45", "noon", "promo"));
    EXPECT_EQ(slot(generator.next(at("2026-12-24 12:00:45"))),
        expect("2026-12-24 12:00:45", "2026-12-24 12:01:00", "noon", "promo"));

    Generator::Item item = generator.next(at("2026-12-24 12:01:00"));
    while (item.end < at("2026-12-24 13:00:00")) {
        ASSERT_EQ(item.playlist->section, "noon");
        item = generator.next(item.end);
    }
    EXPECT_EQ(slot(item), expect("2026-12-24 12:59:45", "2026-12-24 13:00:00", "noon", "promo"));

    EXPECT_EQ(slot(generator.next(item.end)),
        expect("2026-12-24 13:00:00", "2026-12-24 13:00:10", "main", "clip-a"));
    EXPECT_EQ(slot(generator.next(at("2026-12-24 13:00:10"))),
        expect("2026-12-24 13:00:10", "2026-12-24 13:00:30", "main", "clip-b"));
    EXPECT_EQ(slot(generator.next(at("2026-12-24 13:00:30"))),
        expect("2026-12-24 13:00:30", "2026-12-24 13:00:40", "main", "clip-a"));

    // The rotation of Main runs from 13:00 until Noon starts again the next day.
    EXPECT_EQ(slot(generator.next(at("2026-12-25 11:59:55"))),
        expect("2026-12-25 11:59:40", "2026-12-25 12:00:00", "main", "clip-b"));
}

TEST(Generator, EqualPrioritiesShareOneRotationInListOrder)
{
    const Window fromFirst { {}, {}, Playlist::everyDay, QDate(2026, 12, 1) };
    Generator generator;
    generator.setPlaylists({
        playlist("a", 0, { file("a1", 10s), file("a2", 20s) }, fromFirst),
        playlist("b", 0, { file("b1", 5s) }, fromFirst),
        playlist("low", -1, { file("never", 1s) }),
    });
    // R = 2026-12-01 00:00, cycle 35 s.
    EXPECT_EQ(slot(generator.next(at("2026-12-01 00:00:37"))),
        expect("2026-12-01 00:00:35", "2026-12-01 00:00:45", "a", "a1"));
    EXPECT_EQ(slot(generator.next(at("2026-12-01 00:00:45"))),
        expect("2026-12-01 00:00:45", "2026-12-01 00:01:05", "a", "a2"));
    EXPECT_EQ(slot(generator.next(at("2026-12-01 00:01:05"))),
        expect("2026-12-01 00:01:05", "2026-12-01 00:01:10", "b", "b1"));
    EXPECT_EQ(slot(generator.next(at("2026-12-01 00:01:10"))),
        expect("2026-12-01 00:01:10", "2026-12-01 00:01:20", "a", "a1"));
    // Five days later: 432012 s into the rotation, 12343 whole cycles and 7 s.
    EXPECT_EQ(slot(generator.next(at("2026-12-06 00:00:12"))),
        expect("2026-12-06 00:00:05", "2026-12-06 00:00:15", "a", "a1"));
}

TEST(Generator, OpenRotationSkipsWholeCyclesSince1970)
{
    Generator generator;
    generator.setPlaylists({ playlist("main", 0, { file("x", 7s) }) });
    const QDateTime origin(QDate(1970, 1, 1), QTime(0, 0));
    const QDateTime t = at("2026-12-24 12:00:00");
    const Generator::Item item = generator.next(t);
    EXPECT_EQ(origin.msecsTo(item.start) % 7000, 0);
    EXPECT_LE(item.start, t);
    EXPECT_EQ(item.start.msecsTo(item.end), 7000);
    EXPECT_GT(item.end, t);
}

TEST(Generator, WindowEndingAtMidnightRunsToTheFollowingMidnight)
{
    Generator generator;
    generator.setPlaylists({ playlist("evening", 0, { file("e", 7s) },
        { QTime(8, 0), QTime(0, 0), Playlist::everyDay, QDate(2026, 12, 1) }) });
    ASSERT_EQ(generator.states().size(), 1u);
    const Generator::PlaylistState& state = generator.states().front();
    EXPECT_FALSE(state.allDay);
    EXPECT_FALSE(state.crossesMidnight);
    EXPECT_FALSE(state.isActive(at("2026-12-24 07:59:59")));
    EXPECT_TRUE(state.isActive(at("2026-12-24 08:00:00")));
    EXPECT_TRUE(state.isActive(at("2026-12-24 23:59:59")));
    EXPECT_FALSE(state.isActive(at("2026-12-25 00:00:00")));
    EXPECT_EQ(state.startFor(at("2026-12-24 20:00:00")), at("2026-12-24 08:00:00"));
    EXPECT_EQ(state.endForStart(at("2026-12-24 08:00:00")), at("2026-12-25 00:00:00"));

    // 57598 s after 08:00 is 2 s into a 7 s slot, which midnight cuts.
    EXPECT_EQ(slot(generator.next(at("2026-12-24 23:59:58"))),
        expect("2026-12-24 23:59:56", "2026-12-25 00:00:00", "evening", "e"));
    EXPECT_EQ(slot(generator.next(at("2026-12-25 00:00:00"))),
        expect("2026-12-25 00:00:00", "2026-12-25 08:00:00"));
}

TEST(Generator, WindowCrossingMidnight)
{
    // 2026-12-07 is a Monday.
    Generator generator;
    generator.setPlaylists({ playlist(
        "night", 0, { file("n", 60s) }, { QTime(22, 0), QTime(2, 0), Playlist::Monday }) });
    const Generator::PlaylistState& monday = generator.states().front();
    EXPECT_TRUE(monday.crossesMidnight);
    EXPECT_TRUE(monday.isActive(at("2026-12-07 00:00:00")));
    EXPECT_TRUE(monday.isActive(at("2026-12-07 01:59:59")));
    EXPECT_FALSE(monday.isActive(at("2026-12-07 02:00:00")));
    EXPECT_FALSE(monday.isActive(at("2026-12-07 21:59:59")));
    EXPECT_TRUE(monday.isActive(at("2026-12-07 22:00:00")));
    EXPECT_FALSE(monday.isActive(at("2026-12-08 01:00:00")));
    EXPECT_EQ(monday.startFor(at("2026-12-07 01:00:00")), at("2026-12-07 00:00:00"));
    EXPECT_EQ(monday.endForStart(at("2026-12-07 22:00:00")), at("2026-12-08 00:00:00"));
    // The evening part ends at midnight, not at 02:00 of the inactive Tuesday.
    EXPECT_EQ(monday.previousEnd(at("2026-12-08 01:00:00")), at("2026-12-08 00:00:00"));
    EXPECT_EQ(monday.previousEnd(at("2026-12-07 21:00:00")), at("2026-12-07 02:00:00"));
    EXPECT_EQ(monday.nextStartFrom(at("2026-12-08 00:00:00")), at("2026-12-14 00:00:00"));

    EXPECT_EQ(slot(generator.next(at("2026-12-07 23:59:30"))),
        expect("2026-12-07 23:59:00", "2026-12-08 00:00:00", "night", "n"));
    // The idle span begins exactly where the window ended.
    EXPECT_EQ(slot(generator.next(at("2026-12-08 00:00:00"))),
        expect("2026-12-08 00:00:00", "2026-12-14 00:00:00"));

    // With Tuesday active too, Monday's evening runs on to 02:00 on Tuesday.
    generator.setPlaylists({ playlist("night", 0, { file("n", 60s) },
        { QTime(22, 0), QTime(2, 0), Playlist::Monday | Playlist::Tuesday }) });
    const Generator::PlaylistState& both = generator.states().front();
    EXPECT_EQ(both.startFor(at("2026-12-08 01:00:00")), at("2026-12-07 22:00:00"));
    EXPECT_EQ(both.endForStart(at("2026-12-07 22:00:00")), at("2026-12-08 02:00:00"));
    EXPECT_EQ(both.endForStart(at("2026-12-08 22:00:00")), at("2026-12-09 00:00:00"));
    EXPECT_EQ(both.previousEnd(at("2026-12-08 03:00:00")), at("2026-12-08 02:00:00"));
    EXPECT_EQ(slot(generator.next(at("2026-12-08 01:59:30"))),
        expect("2026-12-08 01:59:00", "2026-12-08 02:00:00", "night", "n"));
}

TEST(Generator, SingleWeekdayRecursAWeekLater)
{
    // Thursdays 10:00 to 11:00; 2026-12-10 is a Thursday.
    Generator generator;
    generator.setPlaylists({ playlist(
        "thursday", 0, { file("t", 600s) }, { QTime(10, 0), QTime(11, 0), Playlist::Thursday }) });
    const Generator::PlaylistState& state = generator.states().front();
    EXPECT_EQ(state.nextStartFrom(at("2026-12-10 11:00:00")), at("2026-12-17 10:00:00"));
    EXPECT_EQ(state.nextStartFrom(at("2026-12-10 10:00:00")), at("2026-12-10 10:00:00"));
    EXPECT_EQ(state.previousEnd(at("2026-12-17 09:00:00")), at("2026-12-10 11:00:00"));

    EXPECT_EQ(slot(generator.next(at("2026-12-10 10:55:00"))),
        expect("2026-12-10 10:50:00", "2026-12-10 11:00:00", "thursday", "t"));
    EXPECT_EQ(slot(generator.next(at("2026-12-10 11:00:00"))),
        expect("2026-12-10 11:00:00", "2026-12-17 10:00:00"));
    EXPECT_EQ(slot(generator.next(at("2026-12-17 10:00:00"))),
        expect("2026-12-17 10:00:00", "2026-12-17 10:10:00", "thursday", "t"));
}

TEST(Generator, AllDayStates)
{
    Generator generator;
    generator.setPlaylists({
        playlist("same", 0, { file("s", 10s) }, { QTime(10, 0), QTime(10, 0) }),
        // Friday to Sunday, all day: one window from Friday 00:00 to Monday 00:00.
        playlist("weekend", 0, { file("w", 10s) },
            { {}, {}, Playlist::Friday | Playlist::Saturday | Playlist::Sunday }),
    });
    const Generator::PlaylistState& same = generator.states()[0];
    EXPECT_TRUE(same.allDay);
    EXPECT_EQ(same.playlist.starttime, QTime(0, 0));
    EXPECT_TRUE(same.isActive(at("2026-12-24 03:00:00")));
    EXPECT_TRUE(same.isActive(at("2026-12-24 23:00:00")));

    const Generator::PlaylistState& weekend = generator.states()[1];
    EXPECT_TRUE(weekend.isActive(QDate(2026, 12, 12)));
    EXPECT_FALSE(weekend.isActive(QDate(2026, 12, 14)));
    EXPECT_EQ(weekend.startFor(at("2026-12-13 12:00:00")), at("2026-12-11 00:00:00"));
    EXPECT_EQ(weekend.endForStart(at("2026-12-11 00:00:00")), at("2026-12-14 00:00:00"));
    EXPECT_EQ(weekend.previousEnd(at("2026-12-13 12:00:00")), at("2026-12-07 00:00:00"));
    EXPECT_EQ(weekend.nextStartFrom(at("2026-12-13 12:00:00")), at("2026-12-18 00:00:00"));
}

TEST(Generator, UnschedulablePlaylistsAreSkippedWithAWarning)
{
    vesk::test::LogCapture::instance().clear();
    Generator generator;
    generator.setPlaylists({
        playlist("reversed", 0, { file("x", 10s) },
            { {}, {}, Playlist::everyDay, QDate(2026, 12, 24), QDate(2026, 12, 23) }),
        playlist("nodays", 0, { file("x", 10s) }, { {}, {}, 0 }),
        playlist("silent", 0, { file("x", 0s), file("y", 0s) }),
        playlist("empty", 0, {}),
        playlist("negative", 0, { file("minus", -5s) }),
        playlist("mixed", 0, { file("minus", -5s), file("plus", 10s) }),
        playlist("oneday", 0, { file("x", 10s) },
            { {}, {}, Playlist::everyDay, QDate(2026, 12, 24), QDate(2026, 12, 24) }),
    });
    EXPECT_EQ(vesk::test::LogCapture::instance().messages(generatorLogger),
        (QStringList {
            "Плейлист 'reversed' заканчивается раньше чем начинается - пропуск",
            "Плейлист 'nodays' не имеет дней недели - пропуск",
            "Плейлист 'silent' имеет длительность 0сек - пропуск",
            "Плейлист 'empty' имеет длительность 0сек - пропуск",
            "  отрицательная длительность файла minus в плейлисте 'negative' - считается 0сек",
            "Плейлист 'negative' имеет длительность 0сек - пропуск",
            "  отрицательная длительность файла minus в плейлисте 'mixed' - считается 0сек",
        }));
    ASSERT_EQ(generator.states().size(), 2u);
    const Generator::PlaylistState& mixed = generator.states()[0];
    EXPECT_EQ(mixed.totalDuration, 10s);
    EXPECT_EQ(mixed.playlist.files[0].timeplay, 0s);
    EXPECT_EQ(mixed.playlist.startdate, QDate(1970, 1, 1));
    EXPECT_EQ(mixed.playlist.enddate, QDate(2200, 1, 1));
    EXPECT_EQ(generator.states()[1].playlist.section, "oneday");
}

TEST(Generator, ZeroLengthFilesOnlyOnTheIncrementalPath)
{
    Generator generator;
    generator.setPlaylists({ playlist("p", 0, { file("zero", 0s), file("ten", 10s) },
        { {}, {}, Playlist::everyDay, QDate(2026, 12, 1) }) });
    const Generator::Item first = generator.next(at("2026-12-01 00:00:05"));
    EXPECT_EQ(slot(first), expect("2026-12-01 00:00:00", "2026-12-01 00:00:10", "p", "ten"));
    const Generator::Item zero = generator.next(first.end);
    EXPECT_EQ(slot(zero), expect("2026-12-01 00:00:10", "2026-12-01 00:00:10", "p", "zero"));
    EXPECT_EQ(slot(generator.next(zero.end)),
        expect("2026-12-01 00:00:10", "2026-12-01 00:00:20", "p", "ten"));
}

TEST(Generator, RepeatedAndFreshRequests)
{
    Generator generator;
    EXPECT_EQ(slot(generator.next(at("2026-12-24 12:00:00"))),
        (Slot { QDateTime::fromMSecsSinceEpoch(0), QDateTime(QDate(2200, 1, 1), QTime(0, 0)) }));

    generator.setPlaylists({ playlist("a", 0, { file("a1", 10s), file("a2", 20s) },
        { {}, {}, Playlist::everyDay, QDate(2026, 12, 1) }) });
    const Slot once = slot(generator.next(at("2026-12-24 12:00:07")));
    EXPECT_EQ(slot(generator.next(at("2026-12-24 12:00:07"))), once);
    EXPECT_EQ(once, expect("2026-12-24 12:00:00", "2026-12-24 12:00:10", "a", "a1"));

    // After new playlists a request at the old end is computed afresh, not continued.
    generator.setPlaylists({ playlist(
        "b", 0, { file("b1", 25s) }, { {}, {}, Playlist::everyDay, QDate(2026, 12, 1) }) });
    EXPECT_EQ(slot(generator.next(at("2026-12-24 12:00:10"))),
        expect("2026-12-24 12:00:00", "2026-12-24 12:00:25", "b", "b1"));
}

TEST(Generator, HigherPriorityCutsTheRunningSlot)
{
    Generator generator;
    generator.setPlaylists({
        playlist(
            "main", 0, { file("long", 720s) }, { {}, {}, Playlist::everyDay, QDate(2026, 12, 1) }),
        playlist("promo", 1, { file("p", 60s) }, { QTime(12, 0), QTime(12, 30) }),
    });
    EXPECT_EQ(slot(generator.next(at("2026-12-24 11:55:00"))),
        expect("2026-12-24 11:54:00", "2026-12-24 12:00:00", "main", "long"));
    EXPECT_EQ(slot(generator.next(at("2026-12-24 12:00:00"))),
        expect("2026-12-24 12:00:00", "2026-12-24 12:01:00", "promo", "p"));
    EXPECT_EQ(generator.findActivePriority(at("2026-12-24 12:10:00"), false), 1);
    EXPECT_EQ(generator.findActivePriority(at("2026-12-24 12:40:00"), false), 0);
    EXPECT_EQ(generator.findActivePriority(at("2026-11-24 12:40:00"), false), std::nullopt);
    // The main rotation starts where the promotion's window ended: 84300 s before 11:55, 117
    // whole slots and 60 s. After the promotion it restarts at the promotion's end.
    EXPECT_EQ(slot(generator.next(at("2026-12-24 12:30:00"))),
        expect("2026-12-24 12:30:00", "2026-12-24 12:42:00", "main", "long"));
}

TEST(Generator, FindNextActivePlaylistWrapsAround)
{
    Generator generator;
    generator.setPlaylists({
        playlist("a", 0, { file("a", 10s) }),
        playlist("b", 1, { file("b", 10s) }, { QTime(12, 0), QTime(13, 0) }),
        playlist("c", 0, { file("c", 10s) }),
    });
    generator.computeBorders(at("2026-12-24 10:00:00"));
    auto& states = const_cast<Generator::States&>(generator.states());
    EXPECT_EQ(generator.findNextActivePlaylist(states.begin() + 1), states.begin() + 2);
    EXPECT_EQ(generator.findNextActivePlaylist(states.end()), states.begin());
    generator.computeBorders(at("2026-12-24 12:10:00"));
    EXPECT_EQ(generator.findNextActivePlaylist(states.begin() + 2), states.begin() + 1);
    EXPECT_EQ(generator.findActivePriority(at("2026-12-24 12:10:00"), true), 1);
    generator.setPlaylists({});
    auto& none = const_cast<Generator::States&>(generator.states());
    EXPECT_EQ(generator.findNextActivePlaylist(none.end()), none.end());
}

// Berlin: 2026-03-29 02:00 CET jumps to 03:00 CEST; 2026-10-25 03:00 CEST goes back to 02:00 CET.
TEST(Generator, SkippedHourStartsWindowsWhenTheClockJumps)
{
    vesk::test::ScopedTimeZone zone("Europe/Berlin");
    Generator generator;
    generator.setPlaylists({
        playlist("late", 1, { file("l", 600s) }, { QTime(2, 30), QTime(4, 0) }),
        playlist("gap", 2, { file("g", 60s) }, { QTime(2, 0), QTime(2, 30) }),
    });
    const Generator::PlaylistState& late = generator.states()[0];
    const Generator::PlaylistState& gap = generator.states()[1];
    // The clock shows 02:30 or later first at the jump, 01:00 UTC.
    EXPECT_EQ(late.startFor(utc("2026-03-29 01:10:00")), utc("2026-03-29 01:00:00"));
    EXPECT_EQ(late.endForStart(utc("2026-03-29 01:00:00")), utc("2026-03-29 02:00:00"));
    // A window entirely inside the skipped hour never plays.
    EXPECT_FALSE(gap.isActive(utc("2026-03-29 01:00:00")));

    EXPECT_EQ(slot(generator.next(utc("2026-03-29 00:59:00"))),
        (Slot { utc("2026-03-28 03:00:00"), utc("2026-03-29 01:00:00") }));
    EXPECT_EQ(slot(generator.next(utc("2026-03-29 01:00:00"))),
        (Slot { utc("2026-03-29 01:00:00"), utc("2026-03-29 01:10:00"), "late", "l" }));
    EXPECT_EQ(slot(generator.next(utc("2026-03-29 01:50:00"))),
        (Slot { utc("2026-03-29 01:50:00"), utc("2026-03-29 02:00:00"), "late", "l" }));
}

TEST(Generator, RepeatedHourPlaysOnce)
{
    vesk::test::ScopedTimeZone zone("Europe/Berlin");
    Generator generator;
    generator.setPlaylists({
        playlist("short", 2, { file("s", 60s) }, { QTime(2, 0), QTime(2, 30) }),
        playlist("long", 1, { file("l", 600s) }, { QTime(2, 30), QTime(4, 0) }),
    });
    const Generator::PlaylistState& shortWindow = generator.states()[0];
    const Generator::PlaylistState& longWindow = generator.states()[1];
    // 02:00 CEST is 00:00 UTC; 02:10 CET (the second 02:10) is 01:10 UTC.
    EXPECT_TRUE(shortWindow.isActive(utc("2026-10-25 00:10:00")));
    EXPECT_FALSE(shortWindow.isActive(utc("2026-10-25 01:10:00")));
    EXPECT_EQ(shortWindow.endForStart(utc("2026-10-25 00:00:00")), utc("2026-10-25 00:30:00"));
    // 02:30 CEST to 04:00 CET in one piece: three and a half hours.
    EXPECT_TRUE(longWindow.isActive(utc("2026-10-25 01:10:00")));
    EXPECT_EQ(longWindow.startFor(utc("2026-10-25 01:10:00")), utc("2026-10-25 00:30:00"));
    EXPECT_EQ(longWindow.endForStart(utc("2026-10-25 00:30:00")), utc("2026-10-25 03:00:00"));

    EXPECT_EQ(slot(generator.next(utc("2026-10-25 01:15:00"))),
        (Slot { utc("2026-10-25 01:10:00"), utc("2026-10-25 01:20:00"), "long", "l" }));
    EXPECT_EQ(slot(generator.next(utc("2026-10-25 03:00:00"))),
        (Slot { utc("2026-10-25 03:00:00"), utc("2026-10-26 01:00:00") }));
}

TEST(Generator, AnswersHoldTheRequestEvenOutsideTheScheduledYears)
{
    Generator generator;
    generator.setPlaylists({ playlist("main", 0, { file("x", 10s) }),
        playlist("night", 1, { file("n", 10s) }, { QTime(22, 0), QTime(2, 0) }) });
    for (const QDateTime& t : { QDateTime(QDate(1960, 5, 1), QTime(12, 0)),
             QDateTime(QDate(2199, 12, 31), QTime(23, 59, 55)),
             QDateTime(QDate(2200, 1, 2), QTime(0, 0)), QDateTime(QDate(2350, 7, 1), QTime(3, 0)),
             QDateTime(QDate(9999, 12, 31), QTime(12, 0)) }) {
        SCOPED_TRACE(t.toString(Qt::ISODate).toStdString());
        const Generator::Item item = generator.next(t);
        EXPECT_LE(item.start, t);
        EXPECT_GT(item.end, t);
        const Generator::Item again = generator.next(item.end);
        EXPECT_EQ(again.start, item.end);
        EXPECT_GT(again.end, again.start);
    }
    // The last day of the open range is played to its end.
    EXPECT_EQ(slot(generator.next(at("2200-01-01 23:59:55"))).playlist, "night");
    // An invalid request still gets an answer.
    const Generator::Item invalid = generator.next(QDateTime());
    EXPECT_TRUE(invalid.start.isValid());
    EXPECT_TRUE(invalid.end.isValid());
}
