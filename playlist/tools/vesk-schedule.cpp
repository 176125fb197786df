// vesk-schedule: prints the schedule that a playlist.ini gives between two local times, slot by
// slot as the generator answers them, so that staff can check a campaign before it goes live.
//
//   vesk-schedule PLAYLIST_INI --from 2026-12-24T18:00 --to 2026-12-25T02:00
//
// One line per slot, tab-separated: start, end (ISO 8601 with the UTC offset, so that the hour
// repeated when daylight saving time ends is told apart), playlist section, file section, url;
// an idle span prints "idle" instead of the last three. Exit status 2 with a one-line message on
// standard error for bad arguments or an unreadable file.
#include <vesk/log.h>
#include <vesk/playlist.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QStringList>
#include <QTextStream>

#include <cstdio>

namespace {

constexpr int usageError = 2;
const char* const usage
    = "usage: vesk-schedule PLAYLIST_INI --from YYYY-MM-DDTHH:MM --to YYYY-MM-DDTHH:MM";

int fail(const QString& message)
{
    QTextStream(stderr) << "vesk-schedule: " << message << '\n';
    return usageError;
}

QString stamp(const QDateTime& t)
{
    return t.toOffsetFromUtc(t.offsetFromUtc()).toString(Qt::ISODate);
}

QDateTime parseTime(const QString& text)
{
    QDateTime t = QDateTime::fromString(text, Qt::ISODate);
    if (t.isValid() && t.timeSpec() != Qt::LocalTime) {
        t = t.toLocalTime();
    }
    return t;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    // Warnings about skipped playlists help the operator; the parser's debug dump does not.
    vesk::log::Manager::setLogLevel(vesk::log::Level::warn);

    QString path;
    QString fromText;
    QString toText;
    const QStringList arguments = app.arguments().mid(1);
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (argument == QLatin1String("--from") || argument == QLatin1String("--to")) {
            if (i + 1 >= arguments.size()) {
                return fail(QStringLiteral("%1 needs a value; %2").arg(argument, usage));
            }
            (argument == QLatin1String("--from") ? fromText : toText) = arguments[++i];
        } else if (argument.startsWith(QLatin1String("--from="))) {
            fromText = argument.mid(7);
        } else if (argument.startsWith(QLatin1String("--to="))) {
            toText = argument.mid(5);
        } else if (argument.startsWith(QLatin1Char('-')) || !path.isEmpty()) {
            return fail(QStringLiteral("unexpected argument '%1'; %2").arg(argument, usage));
        } else {
            path = argument;
        }
    }
    if (path.isEmpty() || fromText.isEmpty() || toText.isEmpty()) {
        return fail(QString::fromLatin1(usage));
    }
    const QDateTime from = parseTime(fromText);
    const QDateTime to = parseTime(toText);
    if (!from.isValid()) {
        return fail(QStringLiteral("bad time for --from: '%1'").arg(fromText));
    }
    if (!to.isValid()) {
        return fail(QStringLiteral("bad time for --to: '%1'").arg(toText));
    }
    if (to <= from) {
        return fail(QStringLiteral("--to must be later than --from"));
    }

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return fail(QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
    }
    vesk::PlaylistParser parser;
    parser.parse(&file);
    vesk::Generator generator;
    generator.setPlaylists(parser.playlists());

    QTextStream out(stdout);
    QDateTime t = from;
    while (t < to) {
        const vesk::Generator::Item item = generator.next(t);
        out << stamp(item.start) << '\t' << stamp(item.end) << '\t';
        if (item.playlist) {
            out << QString::fromUtf8(item.playlist->section) << '\t'
                << QString::fromUtf8(item.file->section) << '\t'
                << QString::fromUtf8(item.file->url) << '\n';
        } else {
            out << "idle\n";
        }
        t = item.end;
    }
    out.flush();
    return out.status() == QTextStream::Ok ? 0 : 1;
}
