#include "schedulechart.h"

#include <QCryptographicHash>
#include <QLocale>

#include <algorithm>
#include <cmath>
#include <numeric>

namespace vesk::schedule {

namespace {

// The scale: one pixel a minute, so a day is 1440 pixels wide (1380 and 1500 when the clock
// changes) and fits a common screen beside the labels.
constexpr qint64 msPerPixel = 60'000;
constexpr double labelWidth = 120;
constexpr double rightMargin = 48;
constexpr double captionHeight = 36;
constexpr double rowHeight = 22;
constexpr double rowPitch = 44;
constexpr double legendLine = 18;
// A band names this many of its files; "…" stands for the rest.
constexpr qsizetype filesNamed = 3;

const QString svgNamespace = QStringLiteral("http://www.w3.org/2000/svg");
const QString idleFill = QStringLiteral("#c8c8c8");
const QString placeholderFill = QStringLiteral("url(#placeholder)");

// Two decimals are finer than any screen shows; trailing zeros only cost bytes.
QString number(double value)
{
    QString text = QString::number(value, 'f', 2);
    while (text.endsWith('0')) {
        text.chop(1);
    }
    if (text.endsWith('.')) {
        text.chop(1);
    }
    return text;
}

QString hslColour(double hue, double saturation, double lightness)
{
    const double chroma = (1 - std::abs(2 * lightness - 1)) * saturation;
    const double second = chroma * (1 - std::abs(std::fmod(hue / 60, 2) - 1));
    const double rgb[6][3] = { { chroma, second, 0 }, { second, chroma, 0 }, { 0, chroma, second },
        { 0, second, chroma }, { second, 0, chroma }, { chroma, 0, second } };
    QString text = QStringLiteral("#");
    for (const double part : rgb[int(hue / 60) % 6]) {
        text += QStringLiteral("%1").arg(
            int(std::lround((part + lightness - chroma / 2) * 255)), 2, 16, QLatin1Char('0'));
    }
    return text;
}

// Colours that depend on the section names alone: a hue from each name's MD5 digest, moved on by
// the golden angle while it lies close to the hue of a playlist earlier in the list, so that the
// colours stay apart. The same playlist.ini always gets the same colours, and a playlist keeps its
// colour from one campaign to the next as long as the playlists before it keep their names.
// The saturation keeps every colour clear of the idle grey.
QStringList coloursOf(const Generator::States& states)
{
    constexpr double closest = 40;
    constexpr double goldenAngle = 137.5;
    std::vector<double> hues;
    QStringList colours;
    for (const Generator::PlaylistState& state : states) {
        const QByteArray digest
            = QCryptographicHash::hash(state.playlist.section, QCryptographicHash::Md5);
        double hue = (uchar(digest[0]) << 8 | uchar(digest[1])) % 360;
        const auto tooClose = [&](double other) {
            const double apart = std::abs(hue - other);
            return std::min(apart, 360 - apart) < closest;
        };
        // Nine hues 40 degrees apart fill the circle; beyond that colours may come close.
        for (int tries = 0; tries < 9 && std::any_of(hues.begin(), hues.end(), tooClose); ++tries) {
            hue = std::fmod(hue + goldenAngle, 360);
        }
        hues.push_back(hue);
        colours.append(hslColour(hue, 0.6, 0.5));
    }
    return colours;
}

QString daysText(Playlist::WeekDays days)
{
    if (days.toInt() == Playlist::everyDay) {
        return QStringLiteral("every day");
    }
    QStringList names;
    for (int day = 1; day <= 7; ++day) {
        if (days.toInt() & 1 << (day - 1)) {
            names.append(QLocale::c().dayName(day, QLocale::ShortFormat));
        }
    }
    return names.join(' ');
}

// When a playlist may play, as the legend tells it: "12:00–13:00, Mon Tue Wed Thu Fri".
QString windowText(const Generator::PlaylistState& state)
{
    const Playlist& playlist = state.playlist;
    QString text = state.allDay
        ? QStringLiteral("all day")
        : playlist.starttime.toString(QStringLiteral("HH:mm")) + QStringLiteral("–")
            + (playlist.endtime == QTime(0, 0)
                    ? QStringLiteral("24:00")
                    : playlist.endtime.toString(QStringLiteral("HH:mm")));
    text += QStringLiteral(", ") + daysText(playlist.days);
    // The generator reads open dates as these.
    if (playlist.startdate != QDate(1970, 1, 1)) {
        text += QStringLiteral(", from ") + playlist.startdate.toString(Qt::ISODate);
    }
    if (playlist.enddate != QDate(2200, 1, 1)) {
        text += QStringLiteral(", until ") + playlist.enddate.toString(Qt::ISODate);
    }
    return text;
}

} // namespace

ScheduleChart::ScheduleChart(const Generator::States& states, const QByteArray& placeholder,
    const QList<Day>& days, const QString& caption)
    : m_states(states)
    , m_placeholder(placeholder)
    , m_colours(coloursOf(states))
    , m_rangeFrom(days.front().from)
    , m_rangeTo(days.back().to)
    , m_writer(&m_svg)
{
    writeHeader(days, caption);
}

void ScheduleChart::writeHeader(const QList<Day>& days, const QString& caption)
{
    qint64 longest = 0;
    for (const Day& day : days) {
        longest = std::max(longest, day.end - day.start);
    }
    const QString width = number(labelWidth + double(longest) / msPerPixel + rightMargin);
    m_rowTop = captionHeight;
    m_legendTop = captionHeight + days.size() * rowPitch + legendLine;
    const QString height = number(m_legendTop + (m_states.size() + 1) * legendLine);

    m_writer.setAutoFormatting(true);
    m_writer.setAutoFormattingIndent(1);
    m_writer.writeStartDocument();
    m_writer.writeStartElement(QStringLiteral("svg"));
    m_writer.writeDefaultNamespace(svgNamespace);
    writeAttributes({ { "width", width }, { "height", height },
        { "viewBox", QStringLiteral("0 0 %1 %2").arg(width, height) },
        { "font-family", "sans-serif" }, { "font-size", "12" } });
    m_writer.writeTextElement(QStringLiteral("title"), caption);

    m_writer.writeStartElement(QStringLiteral("defs"));
    m_writer.writeStartElement(QStringLiteral("pattern"));
    writeAttributes({ { "id", "placeholder" }, { "width", "6" }, { "height", "6" },
        { "patternUnits", "userSpaceOnUse" }, { "patternTransform", "rotate(45)" } });
    writeElement("rect", { { "width", "6" }, { "height", "6" }, { "fill", idleFill } });
    writeElement("rect", { { "width", "2" }, { "height", "6" }, { "fill", "#888" } });
    m_writer.writeEndElement();
    m_writer.writeEndElement();

    writeElement("text", { { "x", "8" }, { "y", "22" }, { "font-size", "14" } }, caption);
}

void ScheduleChart::beginDay(const Day& day)
{
    m_day = day;
    m_writer.writeStartElement(QStringLiteral("g"));
    writeAttributes({ { "class", "day" }, { "id", "day-" + day.date.toString(Qt::ISODate) } });
    writeElement("text",
        { { "x", number(labelWidth - 8) }, { "y", number(m_rowTop + 15) },
            { "text-anchor", "end" } },
        QLocale::c().dayName(day.date.dayOfWeek(), QLocale::ShortFormat) + ' '
            + day.date.toString(Qt::ISODate));
}

void ScheduleChart::piece(const Day&, const Piece& piece)
{
    if (piece.to - piece.from >= msPerPixel) {
        flushRun();
        writeRect(piece.from, piece.to, m_rowTop, rowHeight, piece.playlist, slotTitle(piece));
        return;
    }
    if (!m_run.empty() && piece.rotation != m_runRotation) {
        flushRun();
    }
    if (m_run.empty()) {
        m_runRotation = piece.rotation;
        m_runFrom = piece.from;
    }
    m_runTo = piece.to;
    Band& band = m_run[piece.playlist];
    if (band.count++ == 0) {
        band.first = piece;
    }
    band.onScreen += piece.to - piece.from;
    if (piece.slot.file && band.files.size() <= filesNamed
        && !band.files.contains(piece.slot.file)) {
        band.files.append(piece.slot.file);
    }
}

void ScheduleChart::endDay(const Day& day)
{
    flushRun();
    const double length = double(day.end - day.start) / msPerPixel;
    writeElement("rect",
        { { "class", "frame" }, { "x", number(labelWidth) }, { "y", number(m_rowTop) },
            { "width", number(length) }, { "height", number(rowHeight) }, { "fill", "none" },
            { "stroke", "#666" }, { "stroke-width", ".5" } });
    writeHours(day);
    if (day.end - day.start != 24 * msPerHour) {
        writeElement("text",
            { { "x", number(labelWidth + length + 6) }, { "y", number(m_rowTop + 15) } },
            QStringLiteral("%1 h").arg(number(double(day.end - day.start) / msPerHour)));
    }
    m_writer.writeEndElement();
    m_rowTop += rowPitch;
}

void ScheduleChart::writeHours(const Day& day)
{
    // A tick at every real hour since the day's first instant, labelled with the clock's hour.
    QString ticks;
    m_writer.writeStartElement(QStringLiteral("g"));
    writeAttributes({ { "class", "hours" }, { "font-size", "9" }, { "text-anchor", "middle" },
        { "fill", "#555" } });
    for (qint64 t = day.start; t <= day.end; t += msPerHour) {
        const QString x = number(xOf(t));
        ticks += QStringLiteral("M%1 %2v%3").arg(x, number(m_rowTop), number(rowHeight + 4));
        const QTime time = QDateTime::fromMSecsSinceEpoch(t).time();
        writeElement("text", { { "x", x }, { "y", number(m_rowTop + rowHeight + 13) } },
            t >= day.end             ? QStringLiteral("24")
                : time.minute() == 0 ? QString::number(time.hour())
                                     : time.toString(QStringLiteral("H:mm")));
    }
    m_writer.writeEndElement();
    writeElement("path", { { "d", ticks }, { "stroke", "#999" }, { "stroke-width", ".5" } });
}

QByteArray ScheduleChart::finish()
{
    writeLegend();
    m_writer.writeEndElement();
    m_writer.writeEndDocument();
    return m_svg;
}

void ScheduleChart::writeLegend()
{
    // Highest priority first: the order in which playlists win the screen.
    std::vector<int> order(m_states.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [this](int a, int b) {
        return m_states[std::size_t(a)].playlist.priority
            > m_states[std::size_t(b)].playlist.priority;
    });
    order.push_back(-1);

    m_writer.writeStartElement(QStringLiteral("g"));
    writeAttributes({ { "class", "legend" } });
    double top = m_legendTop;
    for (const int playlist : order) {
        writeElement("rect",
            { { "x", number(labelWidth) }, { "y", number(top) }, { "width", "24" },
                { "height", "12" }, { "fill", fillOf(playlist) } });
        writeElement("text", { { "x", number(labelWidth + 32) }, { "y", number(top + 10) } },
            playlist >= 0 ? whoPlays(playlist) + ": " + windowText(m_states[std::size_t(playlist)])
                          : "idle: " + nothingPlays());
        top += legendLine;
    }
    m_writer.writeEndElement();
}

void ScheduleChart::flushRun()
{
    // Playlists stacked in the order of the list, each as high as its share of the run.
    const double span = double(m_runTo - m_runFrom);
    double top = m_rowTop;
    for (const auto& [playlist, band] : m_run) {
        const double height = rowHeight * double(band.onScreen) / span;
        writeRect(m_runFrom, m_runTo, top, height, playlist,
            band.count == 1 ? slotTitle(band.first) : bandTitle(band, playlist));
        top += height;
    }
    m_run.clear();
}

QString ScheduleChart::slotTitle(const Piece& piece) const
{
    if (piece.playlist < 0) {
        // An idle span may reach from 1970 to 2200; the part in the picture is what matters.
        return stamp(std::max(piece.slot.start.toMSecsSinceEpoch(), m_rangeFrom))
            + QStringLiteral(" – ") + stamp(std::min(piece.slot.end.toMSecsSinceEpoch(), m_rangeTo))
            + QStringLiteral("\nidle\n") + nothingPlays();
    }
    return stamp(piece.slot.start) + QStringLiteral(" – ") + stamp(piece.slot.end) + '\n'
        + whoPlays(piece.playlist) + '\n' + QString::fromUtf8(piece.slot.file->section)
        + QStringLiteral(": ") + QString::fromUtf8(piece.slot.file->url);
}

QString ScheduleChart::bandTitle(const Band& band, int playlist) const
{
    QStringList files;
    for (const Playlist::File* file : band.files.first(std::min(band.files.size(), filesNamed))) {
        files.append(QString::fromUtf8(file->section) + ' ' + QString::fromUtf8(file->url));
    }
    if (band.files.size() > filesNamed) {
        files.append(QStringLiteral("…"));
    }
    return stamp(m_runFrom) + QStringLiteral(" – ") + stamp(m_runTo) + '\n' + whoPlays(playlist)
        + QStringLiteral("\n%1 slots, %2 on screen: ").arg(band.count).arg(duration(band.onScreen))
        + files.join(QStringLiteral(", "));
}

void ScheduleChart::writeRect(
    qint64 from, qint64 to, double top, double height, int playlist, const QString& title)
{
    m_writer.writeStartElement(QStringLiteral("rect"));
    writeAttributes({ { "x", number(xOf(from)) }, { "y", number(top) },
        { "width", number(double(to - from) / msPerPixel) }, { "height", number(height) },
        { "fill", fillOf(playlist) } });
    m_writer.writeTextElement(QStringLiteral("title"), title);
    m_writer.writeEndElement();
}

void ScheduleChart::writeAttributes(Attributes attributes)
{
    for (const auto& [name, value] : attributes) {
        m_writer.writeAttribute(QLatin1String(name), value);
    }
}

void ScheduleChart::writeElement(const char* name, Attributes attributes, const QString& text)
{
    m_writer.writeStartElement(QLatin1String(name));
    writeAttributes(attributes);
    if (!text.isEmpty()) {
        m_writer.writeCharacters(text);
    }
    m_writer.writeEndElement();
}

QString ScheduleChart::whoPlays(int playlist) const
{
    const Playlist& p = m_states[std::size_t(playlist)].playlist;
    const QString name
        = p.name.isEmpty() ? QString() : QStringLiteral(" “%1”").arg(QString::fromUtf8(p.name));
    return QString::fromUtf8(p.section) + name + QStringLiteral(" (priority %1)").arg(p.priority);
}

QString ScheduleChart::nothingPlays() const
{
    return m_placeholder.isEmpty()
        ? QStringLiteral("nothing on screen")
        : QStringLiteral("placeholder ") + QString::fromUtf8(m_placeholder);
}

QString ScheduleChart::fillOf(int playlist) const
{
    if (playlist < 0) {
        return m_placeholder.isEmpty() ? idleFill : placeholderFill;
    }
    return m_colours[playlist];
}

double ScheduleChart::xOf(qint64 t) const
{
    return labelWidth + double(t - m_day.start) / msPerPixel;
}

} // namespace vesk::schedule
