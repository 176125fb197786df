// vesk-display: joins a register's media stream and writes what it receives into media files or
// prints it packet by packet.

#include "datagramsocket.h"
#include "mediawriter.h"
#include "registerclient.h"
#include "streamtracks.h"

#include <vesk/log.h>
#include <vesk/streamreceiver.h>

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
// A message of the register is a few packets (8 at most, or one large key frame); a message
// larger than this is no message of a register, and its fragments are not kept.
constexpr std::size_t maxMessageBytes = 8 * 1024 * 1024;
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

// The display's side of one stream: datagrams in, packets out.
class Display
{
public:
    Display(const Options& options, const display::StreamAccess& access)
        : m_receiver(access.streamId, access.key, access.signer, access.joinedAt, receiverLimits())
        , m_writer(options.out.isEmpty()
                  ? nullptr
                  : std::make_unique<display::MediaWriter>(options.out, options.limits))
        , m_tracks(
              options.packets ? (options.out == "-" ? stderr : stdout) : nullptr, m_writer.get())
    {
    }

    static StreamReceiver::Limits receiverLimits()
    {
        StreamReceiver::Limits limits;
        limits.maxMessageBytes = maxMessageBytes;
        return limits;
    }

    // False, with `error` set, when the display cannot go on.
    bool take(std::span<const std::uint8_t> datagram, QString& error)
    {
        const std::uint64_t otherVersion = m_receiver.counters().otherVersion;
        const std::optional<QByteArray> message = m_receiver.addDatagram(datagram);
        if (otherVersion == 0 && m_receiver.counters().otherVersion == 1)
            std::fprintf(stderr,
                "vesk-display: datagrams of stream protocol %d arrive; this display speaks %d "
                "and drops them\n",
                datagram.empty() ? 0 : int(datagram[0]), display::protocolVersion);
        return !message || m_tracks.read(*message, error);
    }

    void expire() { m_receiver.expire(); }

    // False, with `error` set, when the recording could not be completed, or when nothing but
    // datagrams of another protocol version came.
    bool finish(QString& error)
    {
        const StreamReceiver::Counters& c = m_receiver.counters();
        bool finished = !m_writer || m_writer->finish(error);
        const auto number = [](std::uint64_t n) { return static_cast<unsigned long long>(n); };
        std::fprintf(stderr,
            "vesk-display: %lld packets; datagrams %llu accepted, %llu rejected (%llu other "
            "version, %llu malformed, %llu other stream, %llu oversized, %llu forged, %llu "
            "unsealed, %llu inconsistent), %llu replayed, %llu before join, %llu unclaimed; "
            "messages %llu complete, %llu dropped\n",
            static_cast<long long>(m_tracks.packets()), number(c.accepted), number(c.rejected()),
            number(c.otherVersion), number(c.malformed), number(c.otherStream), number(c.oversized),
            number(c.forged), number(c.unsealed), number(c.inconsistent), number(c.replayed),
            number(c.beforeJoin), number(c.unclaimed), number(c.messages), number(c.dropped));
        // One datagram of another version proves nothing (anybody can send it), so it never
        // stops the display; a run that got nothing else has failed.
        if (finished && c.accepted == 0 && c.otherVersion > 0) {
            error = QString("only datagrams of another stream protocol came; this display speaks "
                            "%1")
                        .arg(display::protocolVersion);
            finished = false;
        }
        return finished;
    }

private:
    StreamReceiver m_receiver;
    std::unique_ptr<display::MediaWriter> m_writer;
    display::StreamTracks m_tracks;
};

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

    display::DatagramSocket socket;
    if (!socket.open(
            access->port, access->address.isMulticast() ? access->address : QHostAddress(), error))
        return fail(failure, error);

    Display display(*options, *access);
    int status = 0;
    QSocketNotifier readable(socket.descriptor(), QSocketNotifier::Read);
    QObject::connect(&readable, &QSocketNotifier::activated, [&] {
        bool ok = true;
        const auto take = [&](std::span<const std::uint8_t> datagram) {
            ok = ok && display.take(datagram, error);
        };
        for (int turn = 0; turn < batchesPerTurn && ok; ++turn)
            if (socket.receive(take) < display::DatagramSocket::batch)
                break;
        if (!ok) {
            readable.setEnabled(false);
            status = fail(failure, error);
            app.exit(status);
        }
    });

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
        display.expire();
        if (deadline.hasExpired())
            app.quit();
    });
    housekeeping.start(100);

    const int result = app.exec();
    if (!display.finish(error) && status == 0)
        status = fail(failure, error);
    return status != 0 ? status : result;
}
