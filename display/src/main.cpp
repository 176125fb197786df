// vesk-display: joins a register's media stream and writes what it receives into media files or
// prints it packet by packet.

#include "mediawriter.h"
#include "registerclient.h"
#include "streamtracks.h"

#include <vesk/log.h>
#include <vesk/streamreceiver.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHostInfo>
#include <QNetworkDatagram>
#include <QTimer>
#include <QUdpSocket>

#include <atomic>
#include <csignal>
#include <cstdio>
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

std::atomic<bool> interrupted { false };

void onSignal(int)
{
    interrupted = true;
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
    bool packets = false;
    std::optional<double> seconds;
    // For --help and --version: printed on standard output instead of joining a stream.
    QString text;
};

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
    const QCommandLineOption packetsOption("packets", "Print one line per packet.");
    const QCommandLineOption secondsOption("seconds", "Stop after this many seconds.", "N");
    parser.addOptions({ registerOption, outOption, packetsOption, secondsOption });
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
        : m_receiver(access.streamId, access.key, access.signer, receiverLimits())
        , m_writer(
              options.out.isEmpty() ? nullptr : std::make_unique<display::MediaWriter>(options.out))
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
    bool take(const QByteArray& datagram, QString& error)
    {
        const std::optional<QByteArray> message
            = m_receiver.addDatagram({ reinterpret_cast<const std::uint8_t*>(datagram.constData()),
                std::size_t(datagram.size()) });
        return !message || m_tracks.read(*message, error);
    }

    void expire() { m_receiver.expire(); }

    // False, with `error` set, when the recording could not be completed.
    bool finish(QString& error)
    {
        const bool finished = !m_writer || m_writer->finish(error);
        const StreamReceiver::Counters& c = m_receiver.counters();
        const auto number = [](std::uint64_t n) { return static_cast<unsigned long long>(n); };
        std::fprintf(stderr,
            "vesk-display: %lld packets; datagrams %llu accepted, %llu rejected (%llu malformed, "
            "%llu other stream, %llu oversized, %llu forged, %llu unsealed, %llu inconsistent), "
            "%llu replayed; messages %llu complete, %llu dropped\n",
            static_cast<long long>(m_tracks.packets()), number(c.accepted), number(c.rejected()),
            number(c.malformed), number(c.otherStream), number(c.oversized), number(c.forged),
            number(c.unsealed), number(c.inconsistent), number(c.replayed), number(c.messages),
            number(c.dropped));
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

    QUdpSocket socket;
    const bool multicast = access->address.isMulticast();
    if (!socket.bind(QHostAddress::AnyIPv4, access->port,
            QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint))
        return fail(failure,
            QString("cannot listen on port %1: %2").arg(access->port).arg(socket.errorString()));
    if (multicast && !socket.joinMulticastGroup(access->address))
        return fail(failure,
            QString("cannot join %1: %2").arg(access->address.toString(), socket.errorString()));
    // Key frames come as bursts of datagrams; a small buffer would lose them.
    socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4 * 1024 * 1024);

    Display display(*options, *access);
    int status = 0;
    QObject::connect(&socket, &QUdpSocket::readyRead, [&] {
        while (socket.hasPendingDatagrams()) {
            const QNetworkDatagram datagram = socket.receiveDatagram(65536);
            if (!display.take(datagram.data(), error)) {
                status = fail(failure, error);
                app.exit(status);
                return;
            }
        }
    });

    QTimer housekeeping;
    QObject::connect(&housekeeping, &QTimer::timeout, [&] {
        display.expire();
        if (interrupted)
            app.quit();
    });
    housekeeping.start(100);
    if (options->seconds)
        QTimer::singleShot(int(*options->seconds * 1000), &app, &QCoreApplication::quit);
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);

    const int result = app.exec();
    if (!display.finish(error) && status == 0)
        status = fail(failure, error);
    return status != 0 ? status : result;
}
