#include "statusreport.h"

#include <vesk/protocol/timetext.h>

#include <QJsonArray>

namespace vesk::detail {

namespace {

namespace key = status::key;

QJsonValue timeValue(const QDateTime& time)
{
    if (!time.isValid())
        return QJsonValue::Null;
    return protocol::wireTime(time);
}

QJsonValue deliveryValue(const std::optional<std::uint64_t>& delivery)
{
    return delivery ? QJsonValue(status::deliveryText(*delivery)) : QJsonValue(QJsonValue::Null);
}

QJsonValue heartbeatValue(const std::optional<HeartbeatRecord>& beat)
{
    if (!beat)
        return QJsonValue::Null;
    return QJsonObject { { key::time, timeValue(beat->time) }, { key::outcome, beat->outcome } };
}

QJsonValue syncValue(const std::optional<SyncRecord>& sync)
{
    if (!sync)
        return QJsonValue::Null;
    QJsonObject value {
        { key::time, timeValue(sync->time) },
        { key::outcome, status::outcomeText(sync->outcome) },
        { key::retryPending, status::retries(sync->outcome) },
        { key::durationMs, sync->durationMs },
        { key::delivery, deliveryValue(sync->delivery) },
    };
    if (!sync->reason.isEmpty())
        value.insert(key::reason, sync->reason);
    if (sync->refusedSince.isValid())
        value.insert(key::refusedSince, timeValue(sync->refusedSince));
    if (sync->outcome == status::SyncOutcome::switched) {
        value.insert(key::files, sync->files);
        value.insert(key::bytes, sync->bytes);
    }
    return value;
}

QJsonValue nowValue(const std::optional<Stream::Playing>& playing)
{
    if (!playing)
        return QJsonValue::Null;
    return QJsonObject {
        { key::playlist, playing->playlist },
        { key::file, playing->file },
        { key::url, playing->url },
        { key::start, timeValue(playing->start) },
        { key::end, timeValue(playing->end) },
        { key::placeholder, playing->placeholder },
        // Nothing scheduled for this span: the placeholder, if any, fills it.
        { key::idle, playing->playlist.isEmpty() },
    };
}

// A label value as the exposition format quotes it.
QByteArray quoted(const QString& text)
{
    QByteArray escaped = text.toUtf8();
    escaped.replace('\\', "\\\\").replace('"', "\\\"").replace('\n', "\\n");
    return '"' + escaped + '"';
}

} // namespace

QJsonObject statusDocument(const StatusFigures& figures)
{
    QJsonObject answered;
    for (auto it = figures.api.answered.cbegin(); it != figures.api.answered.cend(); ++it)
        answered.insert(QString::number(it.key()), qint64(it.value()));

    const auto nullOr = [](bool known, const QJsonValue& value) {
        return known ? value : QJsonValue(QJsonValue::Null);
    };
    return QJsonObject {
        { key::version, figures.version },
        { key::pid, figures.pid },
        { key::started, timeValue(figures.started) },
        { key::updated, timeValue(figures.updated) },
        { key::stopped, figures.stopped ? timeValue(*figures.stopped) : QJsonValue::Null },
        { key::home, figures.home },
        { key::pairing,
            nullOr(!figures.server.isEmpty(), QJsonObject { { key::server, figures.server } }) },
        { key::heartbeat, heartbeatValue(figures.heartbeat) },
        { key::sync, syncValue(figures.sync) },
        { key::lastSwitch, syncValue(figures.switched) },
        { key::playing,
            QJsonObject {
                { key::workDir, nullOr(!figures.workDir.isEmpty(), figures.workDir) },
                { key::delivery,
                    deliveryValue(figures.played
                            ? std::optional<std::uint64_t>(figures.played->delivery)
                            : std::nullopt) },
                { key::applied,
                    figures.played ? timeValue(figures.played->applied) : QJsonValue::Null },
                { key::playlists, QJsonArray::fromStringList(figures.playlists) },
                { key::now, nowValue(figures.playing) },
            } },
        { key::stream,
            QJsonObject {
                { key::destination, figures.streamDestination },
                { key::datagrams, qint64(figures.datagramsSent) },
                { key::bytes, qint64(figures.bytesSent) },
                { key::errors, qint64(figures.sendErrors) },
                { key::displaysJoined, qint64(figures.displaysJoined) },
            } },
        { key::api,
            QJsonObject {
                { key::answered, answered },
                { key::dropped, qint64(figures.api.dropped) },
            } },
    };
}

QByteArray prometheusText(const StatusFigures& figures)
{
    QByteArray text;
    const auto metric = [&text](const char* name, const char* type, const char* help) {
        text += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n';
    };
    const auto sample = [&text](const char* name, const QByteArray& labels, qint64 value) {
        text += name + (labels.isEmpty() ? QByteArray() : '{' + labels + '}') + ' '
            + QByteArray::number(value) + '\n';
    };

    metric("vesk_info", "gauge", "The running service; always 1.");
    sample("vesk_info", "version=" + quoted(figures.version), 1);
    metric("vesk_start_time_seconds", "gauge", "When the service started, Unix time.");
    sample("vesk_start_time_seconds", {}, figures.started.toSecsSinceEpoch());
    metric("vesk_paired", "gauge", "1 when a management server is paired.");
    sample("vesk_paired", {}, figures.server.isEmpty() ? 0 : 1);
    metric("vesk_heartbeat_time_seconds", "gauge", "When the last heartbeat was due, Unix time.");
    if (figures.heartbeat)
        sample("vesk_heartbeat_time_seconds", "outcome=" + quoted(figures.heartbeat->outcome),
            figures.heartbeat->time.toSecsSinceEpoch());
    metric("vesk_sync_time_seconds", "gauge", "When the last synchronisation ran, Unix time.");
    if (figures.sync)
        sample("vesk_sync_time_seconds",
            "outcome=" + quoted(status::outcomeText(figures.sync->outcome)),
            figures.sync->time.toSecsSinceEpoch());
    metric("vesk_last_switch_time_seconds", "gauge", "When a delivery last went in, Unix time.");
    if (figures.switched)
        sample("vesk_last_switch_time_seconds", {}, figures.switched->time.toSecsSinceEpoch());
    metric("vesk_sync_retry_pending", "gauge", "1 while a delivery waits for its retry.");
    sample("vesk_sync_retry_pending", {},
        figures.sync && status::retries(figures.sync->outcome) ? 1 : 0);
    metric("vesk_idle", "gauge", "1 while nothing is scheduled now.");
    sample("vesk_idle", {}, !figures.playing || figures.playing->playlist.isEmpty() ? 1 : 0);
    metric("vesk_stream_datagrams_total", "counter", "Datagrams sent to the displays.");
    sample("vesk_stream_datagrams_total", {}, qint64(figures.datagramsSent));
    metric("vesk_stream_bytes_total", "counter", "Bytes of the datagrams sent.");
    sample("vesk_stream_bytes_total", {}, qint64(figures.bytesSent));
    metric("vesk_stream_errors_total", "counter", "Datagrams the system refused to send.");
    sample("vesk_stream_errors_total", {}, qint64(figures.sendErrors));
    metric("vesk_displays_joined_total", "counter", "Displays that joined the stream.");
    sample("vesk_displays_joined_total", {}, qint64(figures.displaysJoined));
    metric("vesk_api_answers_total", "counter", "API answers by status code.");
    for (auto it = figures.api.answered.cbegin(); it != figures.api.answered.cend(); ++it)
        sample("vesk_api_answers_total", "status=\"" + QByteArray::number(it.key()) + '"',
            qint64(it.value()));
    metric("vesk_api_dropped_total", "counter", "API connections closed without an answer.");
    sample("vesk_api_dropped_total", {}, qint64(figures.api.dropped));
    return text;
}

} // namespace vesk::detail
