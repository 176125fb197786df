#pragma once

// "status.json": what vesk-service is doing, for operators and the management server. The service
// writes it; vesk-status, and any other program that shows the status, reads it. This is the one
// place where its members, the outcomes of a synchronisation, its times and its rendering for a
// person are spelled, so that writer and readers cannot disagree.
//
//   const QJsonObject status = QJsonDocument::fromJson(bytes).object();
//   std::cout << vesk::status::statusText(status, QDateTime::currentDateTime()).toStdString();
//
// Its times are written with protocol::wireTime (<vesk/protocol/timetext.h>).

#include <QDateTime>
#include <QJsonObject>
#include <QLatin1String>
#include <QString>
#include <QStringList>

#include <cstdint>

namespace vesk::status {

// The members of the document, at every level.
namespace key {
inline constexpr QLatin1String version("version"), pid("pid"), started("started"),
    updated("updated"), stopped("stopped"), home("home"), pairing("pairing"), server("server"),
    heartbeat("heartbeat"), sync("sync"), lastSwitch("lastSwitch"), time("time"),
    outcome("outcome"), reason("reason"), refusedSince("refusedSince"),
    retryPending("retryPending"), durationMs("durationMs"), files("files"), bytes("bytes"),
    playing("playing"), workDir("workDir"), playlists("playlists"), now("now"),
    playlist("playlist"), file("file"), url("url"), start("start"), end("end"),
    placeholder("placeholder"), idle("idle"), stream("stream"), destination("destination"),
    datagrams("datagrams"), errors("errors"), displaysJoined("displaysJoined"), api("api"),
    answered("answered"), dropped("dropped"), delivery("delivery"), applied("applied");
} // namespace key

// How one look at the sync directory ended.
enum class SyncOutcome {
    switched, // the delivery went in and is played now
    upToDate, // the played TF is the delivered one
    noDelivery, // the sync directory holds no TF
    refused, // the delivery as it stands cannot go in, and may yet be completed or mended
    malformed, // TF itself cannot be taken: only a new TF changes that
    retryPending, // something in the way that may pass: a writer, a full disk, an exception
};

// The outcome as the file spells it: "switched", "up to date", "no delivery", "refused" (for both
// refused and malformed) or "retry pending".
QLatin1String outcomeText(SyncOutcome outcome);

// Whether the service looks at the delivery again by itself, without news from the watcher.
bool retries(SyncOutcome outcome);

// A delivery as the file names it: the XXH64 (seed 0) of its TF's bytes, in 16 lower-case
// hexadecimal digits ("ef46db3751d8e999" for an empty TF). A management server computes the same
// of the TF it sent, with xxhsum -H1 for one.
QString deliveryText(std::uint64_t tfHash);

// Where readers look for the file when not told, in this order: the runtime directory a service
// started by systemd writes to, then the service's home, where one started otherwise writes.
QStringList defaultLocations();

// A status written longer ago than this comes from a service that stopped rewriting it: the
// service rewrites it at least every 30 seconds.
constexpr qint64 staleAfterSeconds = 120;

// Whether the service that wrote `status` is running, as far as the file can tell at `now`:
// neither stopped cleanly nor silent for longer than staleAfterSeconds.
bool looksAlive(const QJsonObject& status, const QDateTime& now);

// The status for a person, one fact per line, times in the zone the service wrote them in.
// Members that are missing or of another kind read as unknown, numbers beyond what the file can
// hold exactly as out of range, and control characters in texts (which can come from a delivery's
// TF) are shown escaped; nothing in the file can make this fail or reach the terminal raw.
QString statusText(const QJsonObject& status, const QDateTime& now);

// How vesk-status ends, which the management server reads through the SSH gate.
namespace exitStatus {
inline constexpr int running = 0; // the file is printed, and the service is running
inline constexpr int unreadable = 1; // the file cannot be read or is not a status file
inline constexpr int usageError = 2; // a wrong option
inline constexpr int notRunning = 3; // the file is printed, and the service stopped or is silent
} // namespace exitStatus

} // namespace vesk::status
