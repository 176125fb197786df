// Private to vesk-schedule, not API: the picture of --svg.
#pragma once

#include "dayvisitor.h"

#include <QStringList>
#include <QXmlStreamWriter>

#include <initializer_list>
#include <map>
#include <utility>

namespace vesk::schedule {

// Draws the schedule of a range as one self-contained SVG picture: one row per local day, time
// running left to right from the day's first instant, one pixel a minute. A row is as long as its
// day really is, so the day the clock goes forward is an hour short and the day it goes back an
// hour long; the hour ticks under it are labelled with the wall-clock hour at each real hour
// (0 1 3 4 ... and 0 1 2 2 3 ...).
//
// Each slot is a rectangle in its playlist's colour (derived from the section name, so it stays
// the same from one picture to the next; see coloursOf), idle spans grey, hatched when the
// placeholder fills them. A slot narrower than a pixel joins its neighbours of the same rotation
// into one band per playlist, the playlists stacked in proportion to their time on screen, so a
// week of 10-second files stays small. Every rectangle carries a <title> (start, end, playlist,
// file, url) that a browser shows on hovering.
class ScheduleChart : public DayVisitor
{
public:
    // `states` must outlive the chart; `days` are those the walk will visit.
    ScheduleChart(const Generator::States& states, const QByteArray& placeholder,
        const QList<Day>& days, const QString& caption);

    void beginDay(const Day& day) override;
    void piece(const Day& day, const Piece& piece) override;
    void endDay(const Day& day) override;

    // Closes the picture (legend included) and returns it; call once, after the walk.
    QByteArray finish();

private:
    // The short slots of one playlist within a run.
    struct Band
    {
        int count = 0;
        qint64 onScreen = 0;
        Piece first;
        QList<const Playlist::File*> files;
    };

    using Attributes = std::initializer_list<std::pair<const char*, QString>>;

    void writeHeader(const QList<Day>& days, const QString& caption);
    void writeHours(const Day& day);
    void writeLegend();
    void flushRun();
    void writeRect(
        qint64 from, qint64 to, double top, double height, int playlist, const QString& title);
    void writeAttributes(Attributes attributes);
    // An element with attributes and text (none when empty), closed.
    void writeElement(const char* name, Attributes attributes, const QString& text = {});
    QString slotTitle(const Piece& piece) const;
    QString bandTitle(const Band& band, int playlist) const;
    QString whoPlays(int playlist) const;
    QString nothingPlays() const;
    QString fillOf(int playlist) const;
    double xOf(qint64 t) const;

    const Generator::States& m_states;
    QByteArray m_placeholder;
    QStringList m_colours;
    qint64 m_rangeFrom;
    qint64 m_rangeTo;
    double m_legendTop = 0;
    QByteArray m_svg;
    QXmlStreamWriter m_writer;

    // The row being drawn.
    Day m_day;
    double m_rowTop = 0;

    // Consecutive short pieces of one rotation, by playlist.
    quint64 m_runRotation = 0;
    qint64 m_runFrom = 0;
    qint64 m_runTo = 0;
    std::map<int, Band> m_run;
};

} // namespace vesk::schedule
