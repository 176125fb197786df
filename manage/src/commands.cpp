#include "commands.h"

#include "console.h"
#include "delivery.h"
#include "deliveryrecord.h"
#include "fleetrun.h"
#include "fleetstatus.h"
#include "fleetview.h"
#include "listen.h"
#include "pairing.h"
#include "playcollection.h"
#include "playreport.h"
#include "registerstate.h"
#include "selection.h"
#include "sshmaster.h"
#include <vesk/log/peertext.h>
#include <vesk/protocol/status.h>

#include <QCommandLineParser>
#include <QFile>
#include <QFileInfo>
#include <QHostInfo>
#include <QJsonDocument>
#include <QProcess>
#include <QSettings>

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
    = "usage: vesk-manage listen [--port PORT] [--json | --quiet] [--beat-every DURATION]\n"
      "                          [--dark-after DURATION] [--on-dark CMD] [--on-back CMD]\n"
      "                          [--hook-timeout DURATION] [--metrics [ADDR:]PORT]\n"
      "                          [--page FILE] [--page-every DURATION]\n"
      "\n"
      "Receives the heartbeats of every paired register and shows them in a table: alive or\n"
      "dark, the last beat, the register's clock against ours, beats missed. Says when a\n"
      "register goes dark and when it is back. Stops on SIGINT or SIGTERM.\n"
      "\n"
      "  --port PORT             the UDP port (default 5000)\n"
      "  --json                  a JSON line per beat and per register dark or back\n"
      "  --quiet                 no table: for metrics, a page or hooks alone\n"
      "  --beat-every DURATION   how often a register beats (default 60s)\n"
      "  --dark-after DURATION   dark after no beat this long (default three beats missed)\n"
      "  --on-dark CMD           run CMD when a register goes dark; --on-back when it is back.\n"
      "  --on-back CMD           CMD is split into words at blanks (\"...\" groups, no shell);\n"
      "                          VESK_EVENT, VESK_REGISTER, VESK_ADDRESS and VESK_LAST_BEAT\n"
      "                          are in its environment\n"
      "  --hook-timeout DURATION kill a hook that runs longer (default 30s)\n"
      "  --metrics [ADDR:]PORT   answer GET /metrics there (default address 127.0.0.1)\n"
      "  --page FILE             keep an HTML page of the fleet in FILE\n"
      "  --page-every DURATION   how often the page is written anew (default 5s)\n"
      "\n"
      "DURATION is a whole number and a unit: 250ms, 90s, 3m, 1h.\n";

const char* const playsUsage
    = "usage: vesk-manage plays [REGISTER... | --all] [--database URL] [--ssh-key FILE]\n"
      "                         [--ssh-user USER] [--ssh-port PORT] [--ssh-option OPTION]...\n"
      "\n"
      "Collects the plays of the registers named, matched by a pattern or --all (default:\n"
      "every paired register) into the store: reads each register's ledger after the last seq\n"
      "stored, stores every whole answer in one transaction and only then tells the register\n"
      "it may forget those records. A record is stored once however often it is read; an\n"
      "answer that breaks off stores nothing. The --ssh options apply to every register.\n"
      "\n"
      "  --database URL  the store: an SQLite file or postgresql://[USER@]HOST[:PORT]/DATABASE\n"
      "                  (default: the key Plays/database of vesk-manage.ini in the state\n"
      "                  directory, else plays.sqlite there)\n"
      "\n"
      "Exit status: 0 all collected, 1 a register refused or answered no read-out, 2 wrong usage,\n"
      "3 a register cannot be reached or its answer broke off, 5 the store cannot be written.\n";

const char* const reportUsage
    = "usage: vesk-manage report [--from DATE] [--to DATE] [--by day,register,playlist,url]\n"
      "                          [--csv|--json] [--database URL]\n"
      "\n"
      "Plays, seconds played and outcomes from the store, per group (default --by day,register).\n"
      "Days are the registers' own (the day a play started there), DATE is YYYY-MM-DD, both\n"
      "ends included. The table and the JSON say each register's gaps (records that will never\n"
      "come) and a register whose clock was off ours by more than a minute; --csv puts those on\n"
      "standard error.\n"
      "\n"
      "Exit status: 0 done, 2 wrong usage, 5 the store cannot be read.\n";

// The store cannot be opened, read or written.
constexpr int exitStore = 5;

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
    if (positionals >= 0 && (orMore ? given < positionals : given != positionals))
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
const QCommandLineOption databaseOption { QStringLiteral("database"), {}, QStringLiteral("URL") };

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

// The store named by --database, by the state directory's configuration, or the default one;
// nothing when the name is no store (said).
std::optional<StoreLocation> storeLocation(
    const QCommandLineParser& parser, const QString& stateDirectory)
{
    QString text = parser.value(databaseOption);
    if (!parser.isSet(databaseOption))
        text = QSettings(stateDirectory + QStringLiteral("/vesk-manage.ini"), QSettings::IniFormat)
                   .value(QStringLiteral("Plays/database"))
                   .toString();
    QString error;
    std::optional<StoreLocation> location = StoreLocation::parse(text, stateDirectory, error);
    if (!location)
        note(error);
    return location;
}

// The default store lies in the state directory, which may not be there yet.
bool prepareStore(const StoreLocation& location, const QString& stateDirectory)
{
    if (location.kind != StoreLocation::Kind::sqlite
        || !location.path.startsWith(stateDirectory + u'/'))
        return true;
    try {
        StateStore(stateDirectory).prepare();
        return true;
    } catch (const std::exception& e) {
        note(QString::fromUtf8(e.what()));
        return false;
    }
}

int collectionStatus(CollectionResult::Status status)
{
    switch (status) {
    case CollectionResult::Status::done:
        return exitDone;
    case CollectionResult::Status::unreachable:
        return exitTransport;
    case CollectionResult::Status::refused:
        return exitRefused;
    case CollectionResult::Status::store:
        return exitStore;
    }
    return exitRefused;
}

void tellCollection(const QString& name, const CollectionResult& result)
{
    const QString stored = QStringLiteral("%1: %2 plays and %3 missing records stored; ledger %4 "
                                          "stored up to seq %5")
                               .arg(name)
                               .arg(result.plays)
                               .arg(result.gaps)
                               .arg(result.ledger.isEmpty() ? QStringLiteral("-") : result.ledger)
                               .arg(result.upTo);
    if (result.status == CollectionResult::Status::done)
        report(stored);
    else
        note(QStringLiteral("%1: %2 (%3)").arg(name, result.error, stored));
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
QList<Reach> reachAll(const QCommandLineParser& parser, const QStringList& words,
    const QString& stateDirectory, bool all)
{
    QString error;
    const std::optional<Selection> selection
        = selectRegisters(StateStore(stateDirectory), words, all, error);
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
    for (Reach& reached : reachAll(parser, words, stateDirectory, parser.isSet(allOption))) {
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
    QList<Reach> reached = reachAll(parser, words, stateDirectory, parser.isSet(allOption));
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

namespace {

// A duration option, at least a millisecond and at most a day; false when it is set to none.
bool readDuration(const QCommandLineParser& parser, const QCommandLineOption& option,
    std::optional<std::chrono::milliseconds>& value)
{
    if (!parser.isSet(option))
        return true;
    value = parseDuration(parser.value(option));
    if (value && value->count() > 0 && *value <= std::chrono::hours(24))
        return true;
    note(QStringLiteral("--%1 needs a duration such as 90s, 3m or 1h, not '%2'")
             .arg(option.names().front(), log::peerText(parser.value(option))));
    return false;
}

// A hook's command line as words (QProcess::splitCommand: blanks separate them, double quotes
// group them, a tripled quote is one); no shell ever sees it. False when it holds no word.
bool readHook(const QCommandLineParser& parser, const QCommandLineOption& option, QStringList& argv)
{
    if (!parser.isSet(option))
        return true;
    argv = QProcess::splitCommand(parser.value(option));
    if (!argv.isEmpty())
        return true;
    note(QStringLiteral("--%1 needs a command").arg(option.names().front()));
    return false;
}

} // namespace

int listenCommand(const QStringList& arguments, const QString& stateDirectory)
{
    QCommandLineParser parser;
    const QCommandLineOption portOption { QStringLiteral("port"), {}, QStringLiteral("PORT") };
    const QCommandLineOption jsonOption { QStringLiteral("json") };
    const QCommandLineOption quietOption { QStringLiteral("quiet") };
    const QCommandLineOption beatOption { QStringLiteral("beat-every"), {}, QStringLiteral("D") };
    const QCommandLineOption darkOption { QStringLiteral("dark-after"), {}, QStringLiteral("D") };
    const QCommandLineOption onDarkOption { QStringLiteral("on-dark"), {}, QStringLiteral("CMD") };
    const QCommandLineOption onBackOption { QStringLiteral("on-back"), {}, QStringLiteral("CMD") };
    const QCommandLineOption hookTimeoutOption { QStringLiteral("hook-timeout"), {},
        QStringLiteral("D") };
    const QCommandLineOption metricsOption { QStringLiteral("metrics"), {},
        QStringLiteral("ADDR:PORT") };
    const QCommandLineOption pageOption { QStringLiteral("page"), {}, QStringLiteral("FILE") };
    const QCommandLineOption pageEveryOption { QStringLiteral("page-every"), {},
        QStringLiteral("D") };
    parser.addOptions({ portOption, jsonOption, quietOption, beatOption, darkOption, onDarkOption,
        onBackOption, hookTimeoutOption, metricsOption, pageOption, pageEveryOption });
    if (const auto status = parse(parser, arguments, 0, listenUsage))
        return *status;
    ListenOptions options;
    options.stateDirectory = stateDirectory;
    options.port = defaultHeartbeatPort;
    options.json = parser.isSet(jsonOption);
    options.quiet = parser.isSet(quietOption);
    if (parser.isSet(portOption)) {
        bool ok = false;
        options.port = parser.value(portOption).toUShort(&ok);
        if (!ok || options.port == 0)
            return fail(exitUsage,
                QStringLiteral("'%1' is not a port").arg(log::peerText(parser.value(portOption))));
    }
    std::optional<std::chrono::milliseconds> beatEvery, hookTimeout, pageEvery;
    if (!readDuration(parser, beatOption, beatEvery)
        || !readDuration(parser, darkOption, options.darkAfter)
        || !readDuration(parser, hookTimeoutOption, hookTimeout)
        || !readDuration(parser, pageEveryOption, pageEvery)
        || !readHook(parser, onDarkOption, options.onDark)
        || !readHook(parser, onBackOption, options.onBack))
        return exitUsage;
    options.beatEvery = beatEvery.value_or(options.beatEvery);
    options.hookTimeout = hookTimeout.value_or(options.hookTimeout);
    options.pageEvery = pageEvery.value_or(options.pageEvery);
    if (parser.isSet(metricsOption)) {
        const QString text = parser.value(metricsOption);
        options.metrics
            = parseIpv4Port(text.contains(u':') ? text : QStringLiteral("127.0.0.1:") + text);
        if (!options.metrics)
            return fail(exitUsage,
                QStringLiteral("--metrics needs [ADDR:]PORT, not '%1'").arg(log::peerText(text)));
    }
    options.page = parser.value(pageOption);
    return listen(options);
}

int playsCommand(const QStringList& arguments, const QString& stateDirectory)
{
    QCommandLineParser parser;
    parser.addOptions(
        { databaseOption, sshKeyOption, sshUserOption, sshPortOption, sshOptionOption, allOption });
    if (const auto status = parse(parser, arguments, -1, playsUsage))
        return *status;
    // No register named is every register, as --all.
    const QStringList words = parser.positionalArguments();
    QList<RegisterState> registers;
    QList<SshTarget> targets;
    for (Reach& reached :
        reachAll(parser, words, stateDirectory, words.isEmpty() || parser.isSet(allOption))) {
        registers.append(std::move(reached.state));
        targets.append(std::move(reached.target));
    }
    if (registers.isEmpty())
        return exitUsage;
    const std::optional<StoreLocation> location = storeLocation(parser, stateDirectory);
    if (!location)
        return exitUsage;
    if (!prepareStore(*location, stateDirectory))
        return exitStore;
    try {
        PlayStore store(*location);
        int status = exitDone;
        for (qsizetype i = 0; i < registers.size(); ++i) {
            const SshMaster connection(targets[i]);
            const CollectionResult result
                = collectPlays(store, registers[i].name, sshCommand(connection.target()));
            tellCollection(registers[i].name, result);
            const int registerStatus = collectionStatus(result.status);
            // The store's trouble is everybody's: the other registers wait for the next run.
            if (registerStatus == exitStore)
                return exitStore;
            if (status == exitDone || registerStatus == exitTransport)
                status = registerStatus == exitDone ? status : registerStatus;
        }
        return status;
    } catch (const StoreError& e) {
        return fail(exitStore, QString::fromUtf8(e.what()));
    }
}

int reportCommand(const QStringList& arguments, const QString& stateDirectory)
{
    QCommandLineParser parser;
    const QCommandLineOption fromOption { QStringLiteral("from"), {}, QStringLiteral("DATE") };
    const QCommandLineOption toOption { QStringLiteral("to"), {}, QStringLiteral("DATE") };
    const QCommandLineOption byOption { QStringLiteral("by"), {}, QStringLiteral("KEYS") };
    const QCommandLineOption csvOption { QStringLiteral("csv") };
    const QCommandLineOption jsonOption { QStringLiteral("json") };
    parser.addOptions({ fromOption, toOption, byOption, csvOption, jsonOption, databaseOption });
    if (const auto status = parse(parser, arguments, 0, reportUsage))
        return *status;
    ReportOptions options;
    for (auto [option, date] :
        { std::pair { &fromOption, &options.from }, { &toOption, &options.to } }) {
        if (!parser.isSet(*option))
            continue;
        *date = QDate::fromString(parser.value(*option), Qt::ISODate);
        if (!(*date)->isValid())
            return fail(exitUsage,
                QStringLiteral("'%1' is not a date YYYY-MM-DD")
                    .arg(log::peerText(parser.value(*option))));
    }
    QString error;
    if (parser.isSet(byOption)) {
        const std::optional<QStringList> by
            = ReportOptions::parseGrouping(parser.value(byOption), error);
        if (!by)
            return fail(exitUsage, error);
        options.by = *by;
    }
    if (parser.isSet(csvOption) && parser.isSet(jsonOption))
        return fail(exitUsage, QStringLiteral("--csv or --json, not both"));
    options.format = parser.isSet(csvOption) ? ReportOptions::Format::csv
        : parser.isSet(jsonOption)           ? ReportOptions::Format::json
                                             : ReportOptions::Format::table;
    const std::optional<StoreLocation> location = storeLocation(parser, stateDirectory);
    if (!location)
        return exitUsage;
    if (!prepareStore(*location, stateDirectory))
        return exitStore;
    QStringList problems;
    const QList<RegisterState> registers = StateStore(stateDirectory).loadAll(problems);
    for (const QString& problem : std::as_const(problems))
        note(problem);
    try {
        PlayStore store(*location);
        const Report built = buildReport(store, options, registers);
        std::fputs(reportText(built, options.format).toUtf8().constData(), stdout);
        if (options.format == ReportOptions::Format::csv)
            for (const QString& line : reportNotes(built))
                note(line);
        return exitDone;
    } catch (const StoreError& e) {
        return fail(exitStore, QString::fromUtf8(e.what()));
    }
}

} // namespace vesk::manage
