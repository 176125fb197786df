#include "dayvisitor.h"

#include <algorithm>
#include <vector>

namespace vesk::schedule {

namespace {

qint64 firstInstant(const QDate& date)
{
    // startOfDay also answers for a date whose midnight the clock skips.
    return date.startOfDay().toMSecsSinceEpoch();
}

// Numbers the rotations: the generator's `selected` flags tell which playlists share the screen
// with the slot it answered last.
class RotationCounter
{
public:
    quint64 after(const Generator& generator)
    {
        const Generator::States& states = generator.states();
        m_selected.resize(states.size());
        bool changed = false;
        for (std::size_t i = 0; i < states.size(); ++i) {
            changed = changed || m_selected[i] != states[i].selected;
            m_selected[i] = states[i].selected;
        }
        return m_number += changed ? 1 : 0;
    }

private:
    std::vector<bool> m_selected;
    quint64 m_number = 0;
};

int indexOf(const Generator& generator, const Playlist* playlist)
{
    const Generator::States& states = generator.states();
    for (std::size_t i = 0; i < states.size(); ++i) {
        if (&states[i].playlist == playlist) {
            return int(i);
        }
    }
    return -1;
}

} // namespace

QList<Day> daysBetween(const QDateTime& from, const QDateTime& to)
{
    const qint64 first = from.toMSecsSinceEpoch();
    const qint64 last = to.toMSecsSinceEpoch();
    QList<Day> days;
    QDate date = from.date();
    qint64 start = firstInstant(date);
    while (start < last) {
        const QDate next = date.addDays(1);
        const qint64 end = firstInstant(next);
        days.append({ date, start, end, std::max(start, first), std::min(end, last) });
        date = next;
        start = end;
    }
    return days;
}

void walkDays(Generator& generator, const QDateTime& from, const QDateTime& to, DayVisitor& visitor)
{
    RotationCounter rotations;
    Piece piece;
    const auto answer = [&](const QDateTime& t) {
        piece.slot = generator.next(t);
        piece.playlist = indexOf(generator, piece.slot.playlist);
        piece.rotation = rotations.after(generator);
    };
    answer(from);
    for (const Day& day : daysBetween(from, to)) {
        visitor.beginDay(day);
        for (;;) {
            const qint64 slotEnd = piece.slot.end.toMSecsSinceEpoch();
            piece.from = std::max(piece.slot.start.toMSecsSinceEpoch(), day.from);
            piece.to = std::min(slotEnd, day.to);
            if (piece.to > piece.from) {
                visitor.piece(day, piece);
            }
            if (slotEnd >= day.to) {
                break;
            }
            answer(piece.slot.end);
        }
        visitor.endDay(day);
    }
}

QString stamp(const QDateTime& t)
{
    return t.toOffsetFromUtc(t.offsetFromUtc()).toString(Qt::ISODate);
}

QString stamp(qint64 t)
{
    return stamp(QDateTime::fromMSecsSinceEpoch(t));
}

QString duration(qint64 ms)
{
    const qint64 seconds = ms / 1000;
    return QStringLiteral("%1:%2:%3")
        .arg(seconds / 3600)
        .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

QString wallTime(const Day& day, qint64 t)
{
    if (t >= day.end) {
        return QStringLiteral("24:00");
    }
    const QTime time = QDateTime::fromMSecsSinceEpoch(t).time();
    return time.toString(time.second() == 0 ? QStringLiteral("HH:mm") : QStringLiteral("HH:mm:ss"));
}

} // namespace vesk::schedule
