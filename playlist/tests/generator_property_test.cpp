// Random playlist sets against an independent model of when a playlist is active.
#include "testsupport.h"

#include <vesk/playlist.h>

#include <QTimeZone>

#include <gtest/gtest.h>

#include <random>

using namespace std::chrono_literals;
using vesk::Generator;
using vesk::Playlist;

namespace {

constexpr qint64 hour = 3'600'000;
constexpr qint64 day = 24 * hour;

// The rules, restated independently of the generator: a playlist is active at an instant when
// the highest wall-clock time shown so far (the clock waits during a repeated hour) lies on an
// active day inside its daily window.
class Model
{
public:
    explicit Model(const QList<Playlist>& playlists)
    {
        // The tests stay within 2026 and a week or two around it.
        for (const QTimeZone::OffsetData& transition : QTimeZone::systemTimeZone().transitions(
                 QDateTime(QDate(2025, 12, 1), QTime(0, 0), Qt::UTC),
                 QDateTime(QDate(2027, 2, 1), QTime(0, 0), Qt::UTC))) {
            m_transitions.append(transition.atUtc.toMSecsSinceEpoch());
        }
        for (const Playlist& playlist : playlists) {
            Entry entry { playlist };
            qint64 total = 0;
            for (const Playlist::File& file : playlist.files) {
                total += std::max<qint64>(file.timeplay.count(), 0);
            }
            if ((playlist.startdate.isValid() && playlist.enddate.isValid()
                    && playlist.enddate < playlist.startdate)
                || playlist.days.toInt() == 0 || total == 0) {
                continue;
            }
            entry.first = playlist.startdate.isValid() ? playlist.startdate : QDate(1970, 1, 1);
            entry.last = playlist.enddate.isValid() ? playlist.enddate : QDate(2200, 1, 1);
            entry.start
                = playlist.starttime.isValid() ? playlist.starttime.msecsSinceStartOfDay() : 0;
            entry.end = playlist.endtime.isValid() ? playlist.endtime.msecsSinceStartOfDay() : 0;
            entry.allDay = entry.start == entry.end;
            m_entries.append(entry);
        }
    }

    // Wall time as (Julian day, milliseconds of the day) in one number.
    static qint64 wall(qint64 t)
    {
        const QDateTime local = QDateTime::fromMSecsSinceEpoch(t);
        return local.date().toJulianDay() * day + local.time().msecsSinceStartOfDay();
    }

    qint64 scheduleWall(qint64 t) const
    {
        qint64 result = wall(t);
        for (qint64 at : m_transitions) {
            if (at > t - day && at <= t) {
                result = std::max(result, wall(at - 1));
            }
        }
        return result;
    }

    bool active(const QByteArray& section, qint64 t) const
    {
        for (const Entry& entry : m_entries) {
            if (entry.playlist.section == section) {
                return active(entry, scheduleWall(t));
            }
        }
        return false;
    }

    // The highest priority active at t, or nullopt.
    std::optional<int> topPriority(qint64 t) const
    {
        const qint64 w = scheduleWall(t);
        std::optional<int> top;
        for (const Entry& entry : m_entries) {
            if (active(entry, w) && (!top || entry.playlist.priority > *top)) {
                top = entry.playlist.priority;
            }
        }
        return top;
    }

    // Every instant in [from, to) at which some playlist may become active: the first instant
    // the clock shows a start time or midnight, found around Qt's reading of that wall time
    // (which may be either occurrence of a repeated hour), and every clock change.
    QList<qint64> possibleStarts(qint64 from, qint64 to) const
    {
        QList<qint64> result { from };
        const QDate first = QDateTime::fromMSecsSinceEpoch(from).date().addDays(-1);
        const QDate last = QDateTime::fromMSecsSinceEpoch(to).date().addDays(1);
        for (QDate date = first; date <= last; date = date.addDays(1)) {
            for (const Entry& entry : m_entries) {
                for (qint64 time : { entry.start, qint64(0) }) {
                    const QDateTime local(date, QTime::fromMSecsSinceStartOfDay(int(time)));
                    if (!local.isValid()) {
                        continue;
                    }
                    const qint64 t = local.toMSecsSinceEpoch();
                    for (qint64 shift : { -hour, -hour / 2, qint64(0), hour / 2, hour }) {
                        result.append(t + shift);
                    }
                }
            }
        }
        result.append(m_transitions);
        result.removeIf([&](qint64 t) { return t < from || t >= to; });
        return result;
    }

private:
    struct Entry
    {
        Playlist playlist;
        QDate first {};
        QDate last {};
        qint64 start = 0;
        qint64 end = 0;
        bool allDay = false;
    };

    static bool dayActive(const Entry& entry, const QDate& date)
    {
        return date >= entry.first && date <= entry.last
            && (entry.playlist.days.toInt() & (1 << (date.dayOfWeek() - 1)));
    }

    static bool active(const Entry& entry, qint64 w)
    {
        const QDate date = QDate::fromJulianDay(w / day);
        const qint64 m = w % day;
        if (!dayActive(entry, date)) {
            return false;
        }
        if (entry.allDay) {
            return true;
        }
        const qint64 end = entry.end == 0 ? day : entry.end;
        if (end < entry.start) {
            return m >= entry.start || m < entry.end;
        }
        return m >= entry.start && m < end;
    }

    QList<Entry> m_entries;
    QList<qint64> m_transitions;
};

QList<Playlist> randomPlaylists(std::mt19937& random)
{
    auto pick = [&random](int low, int high) {
        return std::uniform_int_distribution<int>(low, high)(random);
    };
    // Times near the clock changes of European zones are the interesting ones.
    const QList<QTime> times { QTime(), QTime(0, 0), QTime(1, 0), QTime(1, 30), QTime(2, 0),
        QTime(2, 30), QTime(3, 0), QTime(3, 30), QTime(8, 0), QTime(12, 0), QTime(22, 0),
        QTime(23, 30) };
    const QList<int> durations { 0, 5, 37, 60, 300, 1200, 3600, 5400 };

    QList<Playlist> result;
    const int count = pick(1, 4);
    for (int i = 0; i < count; ++i) {
        Playlist playlist;
        playlist.section = "p" + QByteArray::number(i);
        playlist.priority = pick(0, 2);
        playlist.starttime = pick(0, 4) == 0 ? QTime(pick(0, 23), pick(0, 59)) : times[pick(0, 11)];
        playlist.endtime = pick(0, 4) == 0 ? QTime(pick(0, 23), pick(0, 59)) : times[pick(0, 11)];
        switch (pick(0, 7)) {
        case 0:
        case 1:
        case 2:
        case 3:
            playlist.days = Playlist::WeekDays(Playlist::everyDay);
            break;
        case 4:
        case 5:
            playlist.days = Playlist::WeekDays(pick(1, 126));
            break;
        case 6:
            playlist.days = Playlist::WeekDays(1 << pick(0, 6));
            break;
        default:
            playlist.days = Playlist::WeekDays(pick(0, 3));
            break;
        }
        if (pick(0, 3) == 0) {
            playlist.startdate = QDate(2026, 1, 1).addDays(pick(0, 364));
            playlist.enddate = playlist.startdate.addDays(pick(-2, 20));
        } else if (pick(0, 5) == 0) {
            playlist.enddate = QDate(2026, 1, 1).addDays(pick(0, 364));
        }
        const int files = pick(1, 3);
        for (int f = 0; f < files; ++f) {
            const qint64 seconds = pick(0, 9) == 0 ? pick(-30, 900) : durations[pick(0, 7)];
            playlist.files.append(
                { "f" + QByteArray::number(f), "u", std::chrono::seconds(seconds) });
        }
        result.append(playlist);
    }
    return result;
}

QString describe(const QList<Playlist>& playlists)
{
    QStringList lines;
    for (const Playlist& p : playlists) {
        QStringList files;
        for (const Playlist::File& file : p.files) {
            files.append(QString::number(file.timeplay.count()));
        }
        lines.append(QStringLiteral("%1 prio %2 %3-%4 days %5 dates %6..%7 files %8")
                         .arg(QString::fromUtf8(p.section))
                         .arg(p.priority)
                         .arg(p.starttime.toString(), p.endtime.toString())
                         .arg(p.days.toInt())
                         .arg(p.startdate.toString(Qt::ISODate), p.enddate.toString(Qt::ISODate),
                             files.join(',')));
    }
    return lines.join('\n');
}

// A random instant in 2026, half of them shortly before or after a European clock change.
qint64 randomInstant(std::mt19937& random)
{
    std::uniform_int_distribution<qint64> anywhere(0, 365 * day - 1);
    std::uniform_int_distribution<qint64> near(-6 * hour, hour);
    const qint64 yearStart = QDateTime(QDate(2026, 1, 1), QTime(0, 0), Qt::UTC).toMSecsSinceEpoch();
    // The changes happen at 01:00 UTC on the last Sundays of March and October.
    const qint64 spring = QDateTime(QDate(2026, 3, 29), QTime(1, 0), Qt::UTC).toMSecsSinceEpoch();
    const qint64 autumn = QDateTime(QDate(2026, 10, 25), QTime(1, 0), Qt::UTC).toMSecsSinceEpoch();
    switch (std::uniform_int_distribution<int>(0, 3)(random)) {
    case 0:
        return spring + near(random);
    case 1:
        return autumn + near(random);
    default:
        return yearStart + anywhere(random);
    }
}

struct Answer
{
    qint64 start;
    qint64 end;
    QByteArray playlist;
    QByteArray file;
    qint64 timeplay;

    friend bool operator==(const Answer&, const Answer&) = default;
};

Answer answer(const Generator::Item& item)
{
    return { item.start.toMSecsSinceEpoch(), item.end.toMSecsSinceEpoch(),
        item.playlist ? item.playlist->section : QByteArray(),
        item.file ? item.file->section : QByteArray(),
        item.file ? qint64(item.file->timeplay.count()) * 1000 : -1 };
}

QString text(qint64 t)
{
    return QDateTime::fromMSecsSinceEpoch(t).toString(Qt::ISODateWithMs);
}

Answer fresh(const QList<Playlist>& playlists, qint64 t)
{
    Generator generator;
    generator.setPlaylists(playlists);
    return answer(generator.next(QDateTime::fromMSecsSinceEpoch(t)));
}

class GeneratorProperty : public ::testing::TestWithParam<const char*>
{
};

TEST_P(GeneratorProperty, RandomPlaylistSets)
{
    vesk::test::ScopedTimeZone zone(GetParam());
    if (QByteArray(GetParam()) == "Europe/Berlin") {
        // The model's clock changes come from Qt's zone data: make sure it sees them.
        ASSERT_EQ(QTimeZone::systemTimeZone()
                      .transitions(QDateTime(QDate(2026, 1, 1), QTime(0, 0)),
                          QDateTime(QDate(2026, 12, 31), QTime(0, 0)))
                      .size(),
            2);
    }

    constexpr int sets = 120;
    constexpr int answersPerChain = 400;
    constexpr qint64 week = 7 * day;
    int idleAnswers = 0;
    int playingAnswers = 0;
    for (int set = 0; set < sets; ++set) {
        const unsigned seed = 20261207u + unsigned(set);
        std::mt19937 random(seed);
        const QList<Playlist> playlists = randomPlaylists(random);
        const Model model(playlists);
        SCOPED_TRACE(QStringLiteral("zone %1 seed %2\n%3")
                         .arg(GetParam())
                         .arg(seed)
                         .arg(describe(playlists))
                         .toStdString());

        // (a), (b), (c): full computations at random instants.
        for (int i = 0; i < 4; ++i) {
            const qint64 t = randomInstant(random);
            const Answer a = fresh(playlists, t);
            SCOPED_TRACE(QStringLiteral("asked %1 got %2 - %3")
                             .arg(text(t), text(a.start), text(a.end))
                             .toStdString());
            ASSERT_LE(a.start, t);
            ASSERT_LT(t, a.end);
            if (!a.file.isNull()) {
                ASSERT_LE(a.end, a.start + a.timeplay);
            }
            const qint64 inside = std::uniform_int_distribution<qint64>(a.start, a.end - 1)(random);
            ASSERT_EQ(fresh(playlists, inside), a) << "asked again at " << qPrintable(text(inside));
        }

        // (d): chained answers over a simulated week.
        Generator generator;
        generator.setPlaylists(playlists);
        const qint64 from = randomInstant(random);
        qint64 asked = from;
        for (int i = 0; i < answersPerChain && asked < from + week; ++i) {
            const Answer a = answer(generator.next(QDateTime::fromMSecsSinceEpoch(asked)));
            SCOPED_TRACE(QStringLiteral("answer %1 asked %2 got %3 - %4 %5/%6")
                             .arg(i)
                             .arg(text(asked), text(a.start), text(a.end),
                                 QString::fromUtf8(a.playlist), QString::fromUtf8(a.file))
                             .toStdString());
            if (i == 0) {
                ASSERT_LE(a.start, asked);
            } else {
                ASSERT_EQ(a.start, asked);
            }
            ASSERT_TRUE(asked < a.end || (a.start == asked && a.end == asked));
            if (a.playlist.isNull()) {
                ++idleAnswers;
                for (qint64 t : model.possibleStarts(asked, std::min(a.end, from + week + day))) {
                    ASSERT_EQ(model.topPriority(t), std::nullopt)
                        << "active at " << qPrintable(text(t));
                }
            } else {
                ++playingAnswers;
                ASSERT_LE(a.end, a.start + a.timeplay);
                ASSERT_TRUE(model.active(a.playlist, a.start));
                const std::optional<int> top = model.topPriority(a.start);
                ASSERT_TRUE(top.has_value());
                const auto chosen = std::find_if(playlists.begin(), playlists.end(),
                    [&](const Playlist& p) { return p.section == a.playlist; });
                ASSERT_EQ(chosen->priority, *top);
            }
            if (i % 8 == 0 && a.end > a.start) {
                const qint64 inside
                    = std::uniform_int_distribution<qint64>(a.start, a.end - 1)(random);
                ASSERT_EQ(fresh(playlists, inside), a)
                    << "asked again at " << qPrintable(text(inside));
            }
            asked = a.end;
        }
    }
    // The sets must exercise both kinds of answer, or the checks above prove little.
    EXPECT_GT(idleAnswers, sets);
    EXPECT_GT(playingAnswers, sets * 10);
}

INSTANTIATE_TEST_SUITE_P(Zones, GeneratorProperty, ::testing::Values("UTC", "Europe/Berlin"),
    [](const auto& info) { return QByteArray(info.param).replace('/', '_').toStdString(); });

} // namespace
