#include "commands.h"

#include "console.h"
#include "delivery.h"
#include "deliveryrecord.h"
#include "fleetrun.h"
#include "fleetstatus.h"
#include "fleetview.h"
#include "listen.h"
#include "pairing.h"
#include "registerstate.h"
#include "selection.h"
#include <vesk/log/peertext.h>
#include <vesk/protocol/status.h>

#include <QCommandLineParser>
#include <QFile>
#include <QFileInfo>
#include <QHostInfo>
#include <QJsonDocument>

#include <unistd.h>

namespace vesk::manage {

namespace {

// The port `listen` takes by default, and the one a pairing names unless told otherwise.
constexpr quint16 defaultHeartbeatPort = 5000;
// An OpenSSH public key is one line of at most a few kilobytes (an RSA key of 16384 bits).
constexpr qint64 maxPublicKeyBytes = 16 * 1024;

const char* const pairUsage
    = "usage: vesk-manage pair REGISTER:PORT --ssh-key FILE.pub [--listen ADDR:PORT] [--name "
      "NAME]\n"
      "\n"
      "Pairs with the register whose API listens at REGISTER:PORT: agrees a key with it, hands it\n"
      "the SSH key FILE.pub to deliver with and a new token, and keeps what a delivery and the\n"
      "heartbeats need under NAME (default REGISTER:PORT). A new pairing replaces the register's\n"
      "previous one.\n"
      "\n"
      "  --ssh-key FILE.pub  the public half of the key to deliver with; FILE stays here\n"
      "  --listen ADDR:PORT  where the register sends its heartbeat (default: this machine's\n"
      "                      address towards the register, port 5000)\n"
      "  --name NAME         the name to deliver to and to see heartbeats under\n";

const char* const deliverUsage
    = "usage: vesk-manage deliver REGISTER... DIR | --all DIR [--parallel N] [--json]\n"
      "                           [--ssh-key FILE] [--ssh-user USER] [--ssh-port PORT]\n"
      "                           [--ssh-option OPTION]... [--checksum] [--wait SECONDS]\n"
      "                           [--bwlimit KIB]\n"
      "\n"
      "Checks DIR (playlist.ini names media that are there), writes DIR/TF, sends the media and\n"
      "then TF to each register, and waits until each plays it or refuses it. REGISTER is a\n"
      "name as paired or a pattern of names (shop-*, quoted against the shell).\n"
      "\n"
      "  --all                every paired register\n"
      "  --parallel N         registers delivered to at once (default 4)\n"
      "  --json               a JSON line per change and a summary, on standard output\n"
      "  --ssh-key FILE       the key to log in with (default: the one paired, without .pub)\n"
      "  --ssh-user USER      the register's account (default vesk)\n"
      "  --ssh-port PORT      the register's SSH port (default 22)\n"
      "  --ssh-option OPTION  an ssh -o option, for example UserKnownHostsFile=FILE\n"
      "  --checksum           compare the media by content: after a refusal for a damaged file\n"
      "  --wait SECONDS       how long to wait for each register (default 300)\n"
      "  --bwlimit KIB        at most KIB KiB per second to each register\n"
      "\n"
      "Exit status: 0 every register played, 1 refused by a register (the others played),\n"
      "2 wrong usage, 3 a register unreachable, failed or without a verdict in time, 4 DIR is\n"
      "no delivery (nothing was sent).\n";

const char* const statusUsage
    = "usage: vesk-manage status REGISTER... | --all [--json] [--parallel N] [--ssh-key FILE]\n"
      "                          [--ssh-user USER] [--ssh-port PORT] [--ssh-option OPTION]...\n"
      "\n"
      "One register named: its status, as vesk-status prints it there. More (patterns, --all):\n"
      "a line each, with the delivery it plays (the checksum of its TF), the directory it was\n"
      "delivered from here, since when, the last look at its deliveries and the stream, and\n"
      "then the registers not on the latest delivery.\n"
      "\n"
      "  --all         every paired register\n"
      "  --json        a JSON line per register and one for the latest delivery\n"
      "  --parallel N  statuses read at once (default 8)\n"
      "\n"
      "Exit status: 0 every service runs, 1 one stopped or its status is stale, 2 wrong usage,\n"
      "3 a status cannot be read.\n";

const char* const listenUsage
    = "usage: vesk-manage listen [--port PORT] [--json]\n"
      "\n"
      "Receives the heartbeats of every paired register and shows them in a table: the last\n"
      "beat, the register's clock against ours, beats missed. Stops on SIGINT or SIGTERM.\n"
      "\n"
      "  --port PORT  the UDP port (default 5000)\n"
      "  --json       a JSON line per beat instead of the table\n";

const QCommandLineOption helpOption { QStringLiteral("help") };

// Nothing when parsing went well and the command goes on; otherwise the exit status.
// `positionals` arguments, or at least that many with `orMore`.
std::optional<int> parse(QCommandLineParser& parser, const QStringList& arguments,
    qsizetype positionals, const char* usage, bool orMore = false)
{
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addOption(helpOption);
    if (!parser.parse(QStringList { QStringLiteral("vesk-manage") } + arguments))
        return fail(exitUsage, parser.errorText());
    if (parser.isSet(helpOption)) {
        std::fputs(usage, stdout);
        return exitDone;
    }
    const qsizetype given = parser.positionalArguments().size();
    if (orMore ? given < positionals : given != positionals)
        return fail(exitUsage,
            QStringLiteral("expected %1%2 argument(s), got %3; see --help")
                .arg(orMore ? QStringLiteral("at least ") : QString())
                .arg(positionals)
                .arg(parser.positionalArguments().size()));
    return std::nullopt;
}

const QCommandLineOption sshKeyOption { QStringLiteral("ssh-key"), {}, QStringLiteral("FILE") };
const QCommandLineOption sshUserOption { QStringLiteral("ssh-user"), {}, QStringLiteral("USER") };
const QCommandLineOption sshPortOption { QStringLiteral("ssh-port"), {}, QStringLiteral("PORT") };
const QCommandLineOption sshOptionOption { QStringLiteral("ssh-option"), {},
    QStringLiteral("OPTION") };

// How to log in to the paired register, from the pairing and the options; nothing, with `error`
// set, for an option that cannot be used.
std::optional<SshTarget> sshTarget(
    const QCommandLineParser& parser, const RegisterState& state, QString& error)
{
    SshTarget target;
    target.host = state.address;
    target.key = parser.isSet(sshKeyOption) ? parser.value(sshKeyOption) : state.sshKey;
    if (parser.isSet(sshUserOption))
        target.user = parser.value(sshUserOption);
    if (!validUser(target.user))
        error = QStringLiteral("'%1' is not a user name").arg(log::peerText(target.user));
    if (parser.isSet(sshPortOption)) {
        bool ok = false;
        target.port = quint16(parser.value(sshPortOption).toUShort(&ok));
        if (!ok || target.port == 0)
            error = QStringLiteral("'%1' is not a port")
                        .arg(log::peerText(parser.value(sshPortOption)));
    }
    target.options = parser.values(sshOptionOption);
    for (const QString& option : std::as_const(target.options))
        if (option.isEmpty() || option.startsWith(u'-'))
            error = QStringLiteral("'%1' is not an ssh option").arg(log::peerText(option));
    return error.isEmpty() ? std::optional(target) : std::nullopt;
}

struct Reach
{
    RegisterState state;
    SshTarget target;
};

const QCommandLineOption allOption { QStringLiteral("all") };
const QCommandLineOption linesOption { QStringLiteral("json") };
const QCommandLineOption parallelOption { QStringLiteral("parallel"), {}, QStringLiteral("N") };

// The registers the words and --all select, each with how to log in to it; empty when the
// selection or an option fails (the failure is said).
QList<Reach> reachAll(
    const QCommandLineParser& parser, const QStringList& words, const QString& stateDirectory)
{
    QString error;
    const std::optional<Selection> selection
        = selectRegisters(StateStore(stateDirectory), words, parser.isSet(allOption), error);
    if (!selection) {
        note(error);
        return {};
    }
    for (const QString& problem : selection->problems)
        note(problem);
    QList<Reach> reached;
    for (const RegisterState& state : selection->registers) {
        std::optional<SshTarget> target = sshTarget(parser, state, error);
        if (!target) {
            note(error);
            return {};
        }
        reached.append({ state, std::move(*target) });
    }
    return reached;
}

// The option's whole number within [least, most]; 0 when it is not given; nothing when it is
// wrong (said).
std::optional<int> number(
    const QCommandLineParser& parser, const QCommandLineOption& option, int least, int most)
{
    if (!parser.isSet(option))
        return 0;
    bool ok = false;
    const int value = parser.value(option).toInt(&ok);
    if (ok && value >= least && value <= most)
        return value;
    note(QStringLiteral("--%1 needs a whole number from %2 to %3, not '%4'")
             .arg(option.names().front())
             .arg(least)
             .arg(most)
             .arg(log::peerText(parser.value(option))));
    return std::nullopt;
}

void keepRecord(const DeliveryRecords& records, const QString& name,
    const DeliveryRecord::Entry& sent, Stage stage)
{
    DeliveryRecord record = records.load(name);
    record.sent = sent;
    record.outcome = stageText(stage);
    if (stage == Stage::played)
        record.played = sent;
    try {
        records.save(name, record);
    } catch (const std::exception& e) {
        note(QString::fromUtf8(e.what()));
    }
}

// The register's API address: an IPv4 address, or a name that resolves to one.
std::optional<std::pair<QHostAddress, quint16>> registerAddress(const QString& text)
{
    if (auto parsed = parseIpv4Port(text))
        return parsed;
    const qsizetype colon = text.lastIndexOf(u':');
    if (colon <= 0)
        return std::nullopt;
    const QHostInfo info = QHostInfo::fromName(text.left(colon));
    for (const QHostAddress& address : info.addresses())
        if (address.protocol() == QAbstractSocket::IPv4Protocol)
            return parseIpv4Port(address.toString() + text.mid(colon));
    return std::nullopt;
}

// The public key's line as ssh-keygen wrote it, or nothing with `error` set.
std::optional<QByteArray> readPublicKey(const QString& path, QString& error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return std::nullopt;
    }
    QByteArray line = file.read(maxPublicKeyBytes + 1);
    if (line.endsWith('\n'))
        line.chop(line.endsWith("\r\n") ? 2 : 1);
    const bool plain = std::none_of(
        line.cbegin(), line.cend(), [](char c) { return (c >= 0 && c < 0x20) || c == 0x7f; });
    if (line.size() > maxPublicKeyBytes || line.isEmpty() || !plain
        || line.contains("PRIVATE KEY")) {
        error = QStringLiteral("%1 is not one public key line, as ssh-keygen writes FILE.pub")
                    .arg(path);
        return std::nullopt;
    }
    return line;
}

// What the register is sent, from the command line; nothing when an argument is wrong (said).
std::optional<PairingRequest> pairingRequest(
    const QCommandLineParser& parser, const QString& listen)
{
    const QString target = parser.positionalArguments().front();
    const auto api = registerAddress(target);
    if (!api) {
        note(QStringLiteral("'%1' is not REGISTER:PORT").arg(log::peerText(target)));
        return std::nullopt;
    }
    const QString publicKeyPath = parser.value(sshKeyOption);
    if (!publicKeyPath.endsWith(QStringLiteral(".pub"))) {
        note(QStringLiteral("--ssh-key FILE.pub is needed: the public half"));
        return std::nullopt;
    }
    QString error;
    const std::optional<QByteArray> clientKey = readPublicKey(publicKeyPath, error);
    if (!clientKey) {
        note(error);
        return std::nullopt;
    }
    PairingRequest request { api->first, api->second, *clientKey, listen, QUuid::createUuid() };
    if (request.server.isEmpty()) {
        const QHostAddress local = localAddressTowards(request.address);
        if (local.isNull()) {
            note(QStringLiteral("no route to %1; give --listen").arg(request.address.toString()));
            return std::nullopt;
        }
        request.server = QStringLiteral("%1:%2").arg(local.toString()).arg(defaultHeartbeatPort);
    } else if (!parseIpv4Port(request.server)) {
        note(QStringLiteral("'%1' is not ADDR:PORT").arg(log::peerText(request.server)));
        return std::nullopt;
    }
    return request;
}

void tellPairing(const RegisterState& state)
{
    report(QStringLiteral("paired with %1 as %2").arg(state.registerText(), state.name));
    report(QStringLiteral("delivers into %1 with %2").arg(state.catalog, state.sshKey));
    report(QStringLiteral("heartbeats to %1; register clock %2 s against ours")
               .arg(state.heartbeat)
               .arg(state.clockOffsetMs / 1000.0, 0, 'f', 1));
    if (!QFileInfo::exists(state.sshKey))
        note(QStringLiteral("%1 is not here: deliver and status need --ssh-key").arg(state.sshKey));
}

} // namespace

int pairCommand(const QStringList& arguments, const QString& stateDirectory)
{
    QCommandLineParser parser;
    const QCommandLineOption listenOption { QStringLiteral("listen"), {},
        QStringLiteral("ADDR:PORT") };
    const QCommandLineOption nameOption { QStringLiteral("name"), {}, QStringLiteral("NAME") };
    parser.addOptions({ sshKeyOption, listenOption, nameOption });
    if (const auto status = parse(parser, arguments, 1, pairUsage))
        return *status;
    const std::optional<PairingRequest> request
        = pairingRequest(parser, parser.value(listenOption));
    if (!request)
        return exitUsage;
    RegisterState state;
    state.name = parser.isSet(nameOption)
        ? parser.value(nameOption)
        : QStringLiteral("%1:%2").arg(request->address.toString()).arg(request->port);
    if (!StateStore::validName(state.name))
        return fail(
            exitUsage, QStringLiteral("'%1' is not a usable name").arg(log::peerText(state.name)));
    const StateStore store(stateDirectory);
    try {
        // Before the register gives up its previous pairing, not after.
        store.prepare();
    } catch (const std::exception& e) {
        return fail(exitTransport, QString::fromUtf8(e.what()));
    }

    PairingError failure;
    const std::optional<PairingAnswer> answer = pairWith(*request, PairingLimits {}, failure);
    if (!answer)
        return fail(failure.refused ? exitRefused : exitTransport, failure.text);
    state.address = request->address;
    state.port = request->port;
    state.token = request->token;
    state.sharedKey = answer->key.getKey();
    state.catalog = answer->catalog;
    state.sshKey = QFileInfo(parser.value(sshKeyOption).chopped(4)).absoluteFilePath();
    state.heartbeat = request->server;
    state.paired = answer->received;
    state.clockOffsetMs = answer->received.msecsTo(answer->registerTime);
    try {
        store.save(state);
    } catch (const std::exception& e) {
        return fail(exitTransport,
            QStringLiteral("%1; the register is paired all the same, pair again")
                .arg(QString::fromUtf8(e.what())));
    }
    tellPairing(state);
    return exitDone;
}

int deliverCommand(const QStringList& arguments, const QString& stateDirectory)
{
    QCommandLineParser parser;
    const QCommandLineOption checksumOption { QStringLiteral("checksum") };
    const QCommandLineOption waitOption { QStringLiteral("wait"), {}, QStringLiteral("SECONDS") };
    const QCommandLineOption bwlimitOption { QStringLiteral("bwlimit"), {}, QStringLiteral("KIB") };
    parser.addOptions({ sshKeyOption, sshUserOption, sshPortOption, sshOptionOption, checksumOption,
        waitOption, bwlimitOption, allOption, parallelOption, linesOption });
    if (const auto status = parse(parser, arguments, 1, deliverUsage, true))
        return *status;
    QStringList words = parser.positionalArguments();
    const QString directory = words.takeLast();
    DeliverOptions common { {}, directory, {}, parser.isSet(checksumOption) };
    const std::optional<int> wait = number(parser, waitOption, 1, 24 * 3600);
    const std::optional<int> bandwidth = number(parser, bwlimitOption, 1, 1 << 30);
    const std::optional<int> parallel = number(parser, parallelOption, 1, 256);
    if (!wait || !bandwidth || !parallel)
        return exitUsage;
    common.waitSeconds = *wait ? *wait : common.waitSeconds;
    common.bandwidthKiB = *bandwidth;
    QList<FleetJob> jobs;
    QStringList names;
    for (Reach& reached : reachAll(parser, words, stateDirectory)) {
        DeliverOptions options = common;
        options.target = std::move(reached.target);
        options.catalog = reached.state.catalog;
        names << reached.state.name;
        jobs.append({ reached.state.name, std::move(options) });
    }
    if (jobs.isEmpty())
        return exitUsage;

    const bool json = parser.isSet(linesOption);
    const FleetView::Mode mode = json  ? FleetView::Mode::json
        : jobs.size() == 1             ? FleetView::Mode::single
        : ::isatty(STDERR_FILENO) == 1 ? FleetView::Mode::live
                                       : FleetView::Mode::lines;
    QString error;
    std::optional<PreparedContent> prepared = PreparedContent::prepare(
        directory,
        [&] {
            note(
                QStringLiteral("another vesk-manage deliver writes %1/TF; waiting").arg(directory));
        },
        error);
    if (!prepared)
        return fail(exitIncomplete, error);
    FleetView view(
        mode, names, QStringLiteral("deliver %1 (TF %2)").arg(directory, prepared->delivery()));
    const DeliveryRecords records(stateDirectory);
    const QString absolute = QFileInfo(directory).absoluteFilePath();
    const QList<DeliveryEvent> last = runFleet(
        jobs, prepared->content(), *parallel ? *parallel : 4,
        [&](qsizetype index, const DeliveryEvent& event) {
            view.changed(index, event);
            if (isFinal(event.stage))
                keepRecord(records, names[index],
                    { prepared->delivery(), absolute, QDateTime::currentDateTime() }, event.stage);
        },
        [&] { view.idle(); }, [&] { prepared->release(); });
    FleetSummary summary;
    for (const DeliveryEvent& event : last)
        summary.count(event.stage);
    view.finish(last, summary);
    return mode == FleetView::Mode::single ? exitStatusOf(last.front().stage)
                                           : summary.exitStatus();
}

int statusCommand(const QStringList& arguments, const QString& stateDirectory)
{
    QCommandLineParser parser;
    parser.addOptions({ sshKeyOption, sshUserOption, sshPortOption, sshOptionOption, allOption,
        linesOption, parallelOption });
    if (const auto status = parse(parser, arguments, 0, statusUsage, true))
        return *status;
    const std::optional<int> parallel = number(parser, parallelOption, 1, 256);
    if (!parallel)
        return exitUsage;
    const QStringList words = parser.positionalArguments();
    QList<Reach> reached = reachAll(parser, words, stateDirectory);
    if (reached.isEmpty())
        return exitUsage;
    const bool one = words.size() == 1 && !isPattern(words.front()) && !parser.isSet(allOption);
    if (!one || parser.isSet(linesOption)) {
        QList<StatusTarget> targets;
        for (Reach& r : reached)
            targets.append({ r.state.name, std::move(r.target) });
        return fleetStatus(
            targets, stateDirectory, parser.isSet(linesOption), *parallel ? *parallel : 8);
    }
    QString error;
    const std::optional<QJsonObject> read = readStatus(reached.front().target, error);
    if (!read)
        return fail(exitTransport, error);
    const QDateTime now = QDateTime::currentDateTime();
    std::fputs(vesk::status::statusText(*read, now).toLocal8Bit().constData(), stdout);
    constexpr int notRunning = 1;
    return vesk::status::looksAlive(*read, now) ? exitDone : notRunning;
}

int listenCommand(const QStringList& arguments, const QString& stateDirectory)
{
    QCommandLineParser parser;
    const QCommandLineOption portOption { QStringLiteral("port"), {}, QStringLiteral("PORT") };
    const QCommandLineOption jsonOption { QStringLiteral("json") };
    parser.addOptions({ portOption, jsonOption });
    if (const auto status = parse(parser, arguments, 0, listenUsage))
        return *status;
    ListenOptions options { stateDirectory, defaultHeartbeatPort, parser.isSet(jsonOption) };
    if (parser.isSet(portOption)) {
        bool ok = false;
        options.port = parser.value(portOption).toUShort(&ok);
        if (!ok || options.port == 0)
            return fail(exitUsage,
                QStringLiteral("'%1' is not a port").arg(log::peerText(parser.value(portOption))));
    }
    return listen(options);
}

} // namespace vesk::manage
