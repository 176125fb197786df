// vesk-display: joins a register's media stream and writes what it receives into media files or
// prints it packet by packet.

#include "datagramsocket.h"
#include "mediawriter.h"
#include "registerclient.h"
#include "streamdisplay.h"

#include <vesk/log.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QHostInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <limits>
#include <memory>
#include <optional>

using namespace vesk;

namespace {

constexpr int badUsage = 2;
constexpr int failure = 1;
constexpr int registerTimeoutMs = 10000;
// Batches of datagrams read per turn of the event loop: under any datagram rate the loop comes
// round to its timers and to a stop within a few milliseconds.
constexpr int batchesPerTurn = 4;

// SIGINT and SIGTERM are written into this pipe, which the event loop watches.
int stopPipe[2] = { -1, -1 };

void onSignal(int)
{
    const char stop = 0;
    [[maybe_unused]] const ssize_t written = ::write(stopPipe[1], &stop, 1);
}

int fail(int status, const QString& message)
{
    std::fprintf(stderr, "vesk-display: %s\n", message.toLocal8Bit().constData());
    return status;
}

struct Options
{
    QHostAddress host;
    quint16 port = 0;
    QString out;
    display::MediaWriter::Limits limits;
    bool packets = false;
    std::optional<double> seconds;
    // For --help and --version: printed on standard output instead of joining a stream.
    QString text;
};

// A size of the command line, in bytes; the suffixes count in powers of 1024:
//   "4096" -> 4096, "512K" -> 524288, "100M" -> 104857600, "4G" -> 4294967296, "4g" -> the same
//   "0", "-1", "1.5G", "4GB", "G", "9999999T" -> nothing
std::optional<qint64> parseSize(QString text)
{
    int shift = 0;
    const qsizetype unit = QStringLiteral("KMGT").indexOf(text.right(1).toUpper());
    if (!text.isEmpty() && unit >= 0) {
        shift = 10 * int(unit + 1);
        text.chop(1);
    }
    bool ok = false;
    const qint64 number = text.toLongLong(&ok);
    if (!ok || number < 1 || number > (std::numeric_limits<qint64>::max() >> shift))
        return std::nullopt;
    return number << shift;
}

std::optional<Options> parseOptions(const QStringList& arguments, QString& error)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription("Joins a register's media stream and records it or prints "
                                     "it packet by packet.");
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    const QCommandLineOption registerOption("register", "Register to join.", "HOST:PORT");
    const QCommandLineOption outOption(
        "out", "Media file to write; - for standard output.", "FILE");
    const QCommandLineOption maxFilesOption(
        "max-files", "Stop recording after this many files (default 1000).", "N");
    const QCommandLineOption maxBytesOption("max-bytes",
        "Stop recording before this many bytes, all files together; K, M, G and T count in 1024s "
        "(default 4G).",
        "SIZE");
    const QCommandLineOption packetsOption("packets", "Print one line per packet.");
    const QCommandLineOption secondsOption("seconds", "Stop after this many seconds.", "N");
    parser.addOptions({ registerOption, outOption, maxFilesOption, maxBytesOption, packetsOption,
        secondsOption });
    if (!parser.parse(arguments)) {
        error = parser.errorText();
        return std::nullopt;
    }
    Options options;
    const bool help = parser.isSet(helpOption) || parser.isSet("help-all");
    if (help || parser.isSet(versionOption)) {
        options.text = help
            ? parser.helpText()
            : QString("vesk-display %1\n").arg(QCoreApplication::applicationVersion());
        return options;
    }
    if (!parser.positionalArguments().isEmpty()) {
        error = QString("unexpected argument '%1'").arg(parser.positionalArguments().front());
        return std::nullopt;
    }
    if (!parser.isSet(registerOption)) {
        error = "--register HOST:PORT is required";
        return std::nullopt;
    }
    const QString target = parser.value(registerOption);
    const qsizetype colon = target.lastIndexOf(':');
    bool ok = false;
    const uint port = colon > 0 ? target.mid(colon + 1).toUInt(&ok) : 0;
    if (!ok || port == 0 || port > 65535) {
        error = QString("'%1' is not HOST:PORT").arg(target);
        return std::nullopt;
    }
    options.port = quint16(port);
    const QString host = target.left(colon);
    if (!options.host.setAddress(host)) {
        const QHostInfo info = QHostInfo::fromName(host);
        for (const QHostAddress& address : info.addresses())
            if (address.protocol() == QAbstractSocket::IPv4Protocol) {
                options.host = address;
                break;
            }
        if (options.host.isNull()) {
            error = QString("cannot resolve '%1'").arg(host);
            return std::nullopt;
        }
    }
    options.out = parser.value(outOption);
    if (parser.isSet(outOption) && options.out.isEmpty()) {
        error = "--out needs a file name or -";
        return std::nullopt;
    }
    if (parser.isSet(maxFilesOption)) {
        const int files = parser.value(maxFilesOption).toInt(&ok);
        if (!ok || files < 1) {
            error = QString("--max-files needs a positive whole number, not '%1'")
                        .arg(parser.value(maxFilesOption));
            return std::nullopt;
        }
        options.limits.maxFiles = files;
    }
    if (parser.isSet(maxBytesOption)) {
        const std::optional<qint64> bytes = parseSize(parser.value(maxBytesOption));
        if (!bytes) {
            error = QString("--max-bytes needs a size such as 500M or 4G, not '%1'")
                        .arg(parser.value(maxBytesOption));
            return std::nullopt;
        }
        options.limits.maxBytes = *bytes;
    }
    options.packets = parser.isSet(packetsOption);
    if (parser.isSet(secondsOption)) {
        const double seconds = parser.value(secondsOption).toDouble(&ok);
        if (!ok || !(seconds > 0) || seconds > 1e7) {
            error = QString("--seconds needs a positive number, not '%1'")
                        .arg(parser.value(secondsOption));
            return std::nullopt;
        }
        options.seconds = seconds;
    }
    if (options.out.isEmpty() && !options.packets) {
        error = "nothing to do: give --out FILE or --packets";
        return std::nullopt;
    }
    return options;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationVersion(VESK_VERSION);
    // The libraries log on standard error; a display wants only the trouble there.
    log::Manager::setLogLevel(log::Level::warn);

    QString error;
    const std::optional<Options> options = parseOptions(app.arguments(), error);
    if (!options)
        return fail(badUsage, error);
    if (!options->text.isEmpty()) {
        std::fputs(options->text.toLocal8Bit().constData(), stdout);
        return 0;
    }

    const std::optional<display::StreamAccess> access
        = display::connectToStream(options->host, options->port, registerTimeoutMs, error);
    if (!access)
        return fail(badUsage, error);

    display::StreamDisplay display(options->host, options->port, registerTimeoutMs,
        options->packets ? (options->out == "-" ? stderr : stdout) : nullptr,
        options->out.isEmpty() ? nullptr : std::make_unique<display::MediaWriter>(options->out, options->limits));
    if (!display.start(*access, error))
        return fail(badUsage, error);

    // Opened again when a restarted register sends elsewhere.
    std::unique_ptr<display::DatagramSocket> socket;
    std::unique_ptr<QSocketNotifier> readable;
    int status = 0;
    const auto listen = [&](const display::StreamAccess& at) {
        readable.reset();
        socket = std::make_unique<display::DatagramSocket>();
        if (!socket->open(at.port, at.address.isMulticast() ? at.address : QHostAddress(), error))
            return false;
        readable = std::make_unique<QSocketNotifier>(socket->descriptor(), QSocketNotifier::Read);
        QObject::connect(readable.get(), &QSocketNotifier::activated, [&] {
            bool ok = true;
            const auto take = [&](std::span<const std::uint8_t> datagram, std::uint64_t source) {
                ok = ok && display.take(datagram, source, error);
            };
            for (int turn = 0; turn < batchesPerTurn && ok; ++turn)
                if (socket->receive(take) < display::DatagramSocket::batch)
                    break;
            if (!ok) {
                readable->setEnabled(false);
                status = fail(failure, error);
                app.exit(status);
            }
        });
        return true;
    };
    if (!listen(*access))
        return fail(failure, error);

    if (::pipe2(stopPipe, O_NONBLOCK | O_CLOEXEC) != 0)
        return fail(failure, "cannot make a pipe for signals");
    QSocketNotifier stopping(stopPipe[0], QSocketNotifier::Read);
    QObject::connect(&stopping, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
    struct sigaction stop = {};
    stop.sa_handler = onSignal;
    stop.sa_flags = SA_RESTART;
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);

    // Checked on a short timer rather than one long one: a long single shot would be coarse
    // (late by up to 5 %) and overflow its milliseconds beyond 24 days.
    const QDeadlineTimer deadline = options->seconds
        ? QDeadlineTimer(qint64(*options->seconds * 1000), Qt::PreciseTimer)
        : QDeadlineTimer(QDeadlineTimer::Forever);
    QTimer housekeeping;
    housekeeping.setTimerType(Qt::PreciseTimer);
    QObject::connect(&housekeeping, &QTimer::timeout, [&] {
        const QHostAddress address = display.access().address;
        const quint16 port = display.access().port;
        if (!display.tend(error)
            || ((display.access().address != address || display.access().port != port)
                && !listen(display.access()))) {
            status = fail(failure, error);
            app.exit(status);
        }
        if (deadline.hasExpired())
            app.quit();
    });
    housekeeping.start(100);

    const int result = app.exec();
    if (!display.finish(error) && status == 0)
        status = fail(failure, error);
    return status != 0 ? status : result;
}
