// vesk-schedule: shows what a playlist.ini plays between two local times, exactly as the service's
// generator answers it, so that staff can check a campaign before it goes live.
//
//   vesk-schedule PLAYLIST_INI --from 2026-12-24T18:00 --to 2026-12-25T02:00
//   vesk-schedule PLAYLIST_INI --svg week.svg          the coming seven days as a picture
//   vesk-schedule PLAYLIST_INI --summary               per day, time on screen by playlist
//
// Without --from the range starts at the start of today; without --to it lasts seven days.
// The listing has one line per slot, tab-separated: start, end (ISO 8601 with the UTC offset, so
// that the hour repeated when daylight saving time ends is told apart), playlist section, file
// section, url; an idle span prints "idle" instead of the last three. --svg writes the picture
// instead of the listing, --summary prints the daily totals instead of it. Exit status 2 with a
// one-line message on standard error for bad arguments or an unreadable file, 1 when the output
// cannot be written.
#include "dayvisitor.h"
#include "schedulechart.h"
#include "schedulesummary.h"

#include <vesk/file/fileoperations.h>
#include <vesk/log.h>
#include <vesk/playlist.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QTextStream>

#include <optional>

using namespace vesk;

namespace {

constexpr int failure = 1;
constexpr int usageError = 2;

int fail(int status, const QString& message)
{
    QTextStream(stderr) << "vesk-schedule: " << message << '\n';
    return status;
}

QDateTime parseTime(const QString& text)
{
    QDateTime t = QDateTime::fromString(text, Qt::ISODate);
    if (t.isValid() && t.timeSpec() != Qt::LocalTime) {
        t = t.toLocalTime();
    }
    return t;
}

struct Options
{
    QString path;
    QDateTime from;
    QDateTime to;
    QString svg;
    bool summary = false;
};

// The options to run with; or none, with `error` set for a bad command line, or with `text` set
// for --help and --version, which print it and succeed.
std::optional<Options> parseOptions(const QStringList& arguments, QString& error, QString& text)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Shows what a playlist.ini plays, slot by slot as the service would play it, as a "
        "picture (--svg) or as daily totals (--summary); man vesk-schedule tells more.");
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption from(
        "from", "Local time to start at (default: today 00:00).", "YYYY-MM-DDTHH:MM");
    const QCommandLineOption to(
        "to", "Local time to stop at (default: seven days after the start).", "YYYY-MM-DDTHH:MM");
    const QCommandLineOption svg("svg", "Draw the range into an SVG picture instead.", "FILE");
    const QCommandLineOption summary(
        "summary", "Print per day the time each playlist is on screen and the idle time.");
    parser.addOptions({ from, to, svg, summary });
    parser.addPositionalArgument("PLAYLIST_INI", "The playlist file to read.");
    if (!parser.parse(arguments)) {
        error = parser.errorText();
        return std::nullopt;
    }
    if (parser.isSet(help) || parser.isSet("help-all")) {
        text = parser.helpText();
        return std::nullopt;
    }
    if (parser.isSet(version)) {
        text = QStringLiteral("vesk-schedule %1\n").arg(QCoreApplication::applicationVersion());
        return std::nullopt;
    }
    const QStringList positional = parser.positionalArguments();
    if (positional.size() > 1) {
        error = QStringLiteral("unexpected argument '%1'").arg(positional[1]);
        return std::nullopt;
    }
    if (positional.isEmpty()) {
        error = QStringLiteral("no PLAYLIST_INI given; try --help");
        return std::nullopt;
    }
    Options options { positional.front(), QDate::currentDate().startOfDay(), {}, parser.value(svg),
        parser.isSet(summary) };
    if (parser.isSet(svg) && options.svg.isEmpty()) {
        error = QStringLiteral("--svg needs a file name");
        return std::nullopt;
    }
    if (parser.isSet(from)) {
        options.from = parseTime(parser.value(from));
        if (!options.from.isValid()) {
            error = QStringLiteral("bad time for --from: '%1'").arg(parser.value(from));
            return std::nullopt;
        }
    }
    options.to = parser.isSet(to) ? parseTime(parser.value(to)) : options.from.addDays(7);
    if (!options.to.isValid()) {
        error = QStringLiteral("bad time for --to: '%1'").arg(parser.value(to));
        return std::nullopt;
    }
    if (options.to <= options.from) {
        error = QStringLiteral("--to must be later than --from");
        return std::nullopt;
    }
    return options;
}

void printSlots(Generator& generator, const Options& options, QTextStream& out)
{
    QDateTime t = options.from;
    while (t < options.to) {
        const Generator::Item item = generator.next(t);
        out << schedule::stamp(item.start) << '\t' << schedule::stamp(item.end) << '\t';
        if (item.playlist) {
            out << QString::fromUtf8(item.playlist->section) << '\t'
                << QString::fromUtf8(item.file->section) << '\t'
                << QString::fromUtf8(item.file->url) << '\n';
        } else {
            out << "idle\n";
        }
        t = item.end;
    }
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationVersion(VESK_VERSION);
    // Warnings about skipped playlists help the operator; the parser's debug dump does not.
    log::Manager::setLogLevel(log::Level::warn);

    QString error;
    QString text;
    const std::optional<Options> options = parseOptions(app.arguments(), error, text);
    QTextStream out(stdout);
    if (!options && !text.isEmpty()) {
        out << text;
        return 0;
    }
    if (!options) {
        return fail(usageError, error);
    }

    QFile input(options->path);
    if (!input.open(QIODevice::ReadOnly)) {
        return fail(usageError,
            QStringLiteral("cannot read %1: %2").arg(options->path, input.errorString()));
    }
    PlaylistParser parser;
    parser.parse(&input);
    Generator generator;
    generator.setPlaylists(parser.playlists());

    if (!options->svg.isEmpty()) {
        const QList<schedule::Day> days = schedule::daysBetween(options->from, options->to);
        schedule::ScheduleChart chart(generator.states(), parser.placeholder(), days,
            QStringLiteral("%1: %2 – %3")
                .arg(QFileInfo(options->path).fileName(), schedule::stamp(options->from),
                    schedule::stamp(options->to)));
        schedule::walkDays(generator, options->from, options->to, chart);
        try {
            file::save2file(options->svg.toStdString(), chart.finish(), 0644);
        } catch (const std::exception& e) {
            return fail(failure, QString::fromLocal8Bit(e.what()));
        }
    }
    if (options->summary) {
        schedule::ScheduleSummary summary(generator.states());
        schedule::walkDays(generator, options->from, options->to, summary);
        out << summary.text();
    } else if (options->svg.isEmpty()) {
        printSlots(generator, *options, out);
    }
    out.flush();
    return out.status() == QTextStream::Ok ? 0 : failure;
}
