#pragma once
// Not API: what the status file reports, and how it is written down.

#include "transactionfile.h"

#include <vesk/httpserver.h>
#include <vesk/protocol/status.h>
#include <vesk/stream.h>

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <cstdint>
#include <optional>

namespace vesk::detail {

// The last heartbeat: "sent", or why it was not.
struct HeartbeatRecord
{
    QDateTime time;
    QString outcome;
};

// The last run of the synchronisation: how it ended, and why when it did not switch. Whether the
// run is repeated by the retry timer follows from the outcome (status::retries).
struct SyncRecord
{
    QDateTime time;
    status::SyncOutcome outcome = status::SyncOutcome::retryPending;
    QString reason;
    // The XXH64 of the sync TF the run read: the delivery it looked at. None when it read none.
    std::optional<std::uint64_t> delivery;
    // Of a switched delivery: its files, TF not counted, and their bytes.
    qint64 files = 0;
    qint64 bytes = 0;
    qint64 durationMs = 0;
    // Of a TF refused as malformed: its digest, and since when it is refused. A later run that
    // reads the same bytes refuses them again without parsing them: only a new TF can change that.
    std::optional<TransactionFileDigest> refusedTf;
    QDateTime refusedSince;
};

// The delivery whose playlist the engine was last handed, with its generator: the XXH64 of the
// played TF, and when.
struct PlayedRecord
{
    std::uint64_t delivery = 0;
    QDateTime applied;
};

// Everything the status file holds, gathered at the moment it is written.
struct StatusFigures
{
    QString version;
    qint64 pid = 0;
    QDateTime started;
    QDateTime updated;
    std::optional<QDateTime> stopped;
    QString home;
    // The management server's address; empty while the register is not paired.
    QString server;
    std::optional<HeartbeatRecord> heartbeat;
    std::optional<SyncRecord> sync;
    // The last run that switched to a new delivery; later runs mostly find nothing new.
    std::optional<SyncRecord> switched;
    // The entry the link names ("work_dir_a", "work_dir_b"); empty without a link.
    QString workDir;
    std::optional<PlayedRecord> played;
    QStringList playlists;
    std::optional<Stream::Playing> playing;
    QString streamDestination;
    quint64 datagramsSent = 0;
    quint64 bytesSent = 0;
    quint64 sendErrors = 0;
    quint64 displaysJoined = 0;
    HttpServer::Tally api;
};

// The document of "status.json". Times as protocol::wireTime writes them; absent facts are null.
QJsonObject statusDocument(const StatusFigures& figures);

// The same figures in the text format of node-exporter's textfile collector.
QByteArray prometheusText(const StatusFigures& figures);

} // namespace vesk::detail

namespace vesk::detail {

// What the Core's handlers learnt for the status file. The records belong to the main thread;
// the count of displays is kept by the API's workers.
struct StatusRecords
{
    QDateTime started;
    std::optional<HeartbeatRecord> heartbeat;
    std::optional<SyncRecord> sync;
    std::optional<SyncRecord> switched;
    // None before the first playlist was applied, and while the engine plays a directory whose
    // playlist could not be (nothing of a delivery is scheduled then).
    std::optional<PlayedRecord> played;
    std::atomic<quint64> displaysJoined { 0 };
    // Where the same figures go for node-exporter; empty: nowhere.
    QString prometheusPath;
    // The last failure to write, so that a lasting one is logged once.
    QString lastWriteError;
    // The home's status file of an earlier start was removed, or there was none.
    bool homeStatusChecked = false;
};

} // namespace vesk::detail
