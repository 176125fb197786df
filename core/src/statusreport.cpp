#include "statusreport.h"

#include <QJsonArray>

namespace vesk::detail {

namespace {

QJsonValue timeValue(const QDateTime& time)
{
    if (!time.isValid())
        return QJsonValue::Null;
    return time.toOffsetFromUtc(time.offsetFromUtc()).toString(Qt::ISODate);
}

QJsonValue heartbeatValue(const std::optional<HeartbeatRecord>& beat)
{
    if (!beat)
        return QJsonValue::Null;
    return QJsonObject { { "time", timeValue(beat->time) }, { "outcome", beat->outcome } };
}

QJsonValue syncValue(const std::optional<SyncRecord>& sync)
{
    if (!sync)
        return QJsonValue::Null;
    QJsonObject value {
        { "time", timeValue(sync->time) },
        { "outcome", sync->outcome },
        { "retryPending", sync->retryPending },
        { "durationMs", sync->durationMs },
    };
    if (!sync->reason.isEmpty())
        value.insert("reason", sync->reason);
    if (sync->outcome == u"switched") {
        value.insert("files", sync->files);
        value.insert("bytes", sync->bytes);
    }
    return value;
}

QJsonValue nowValue(const std::optional<Stream::Playing>& playing)
{
    if (!playing)
        return QJsonValue::Null;
    return QJsonObject {
        { "playlist", playing->playlist },
        { "file", playing->file },
        { "url", playing->url },
        { "start", timeValue(playing->start) },
        { "until", timeValue(playing->end) },
        { "placeholder", playing->placeholder },
        // Nothing scheduled for this span: the placeholder, if any, fills it.
        { "idle", playing->playlist.isEmpty() },
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

    return QJsonObject {
        { "version", figures.version },
        { "pid", figures.pid },
        { "started", timeValue(figures.started) },
        { "updated", timeValue(figures.updated) },
        { "stopped", figures.stopped ? timeValue(*figures.stopped) : QJsonValue(QJsonValue::Null) },
        { "home", figures.home },
        { "pairing",
            figures.server.isEmpty() ? QJsonValue(QJsonValue::Null)
                                     : QJsonValue(QJsonObject { { "server", figures.server } }) },
        { "heartbeat", heartbeatValue(figures.heartbeat) },
        { "sync", syncValue(figures.sync) },
        { "lastSwitch", syncValue(figures.switched) },
        { "playing",
            QJsonObject {
                { "workDir",
                    figures.workDir.isEmpty() ? QJsonValue(QJsonValue::Null)
                                              : QJsonValue(figures.workDir) },
                { "playlists", QJsonArray::fromStringList(figures.playlists) },
                { "now", nowValue(figures.playing) },
            } },
        { "stream",
            QJsonObject {
                { "destination", figures.streamDestination },
                { "datagrams", qint64(figures.datagramsSent) },
                { "bytes", qint64(figures.bytesSent) },
                { "errors", qint64(figures.sendErrors) },
                { "displaysJoined", qint64(figures.displaysJoined) },
            } },
        { "api",
            QJsonObject {
                { "answered", answered },
                { "dropped", qint64(figures.api.dropped) },
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
        sample("vesk_sync_time_seconds", "outcome=" + quoted(figures.sync->outcome),
            figures.sync->time.toSecsSinceEpoch());
    metric("vesk_last_switch_time_seconds", "gauge", "When a delivery last went in, Unix time.");
    if (figures.switched)
        sample("vesk_last_switch_time_seconds", {}, figures.switched->time.toSecsSinceEpoch());
    metric("vesk_sync_retry_pending", "gauge", "1 while a delivery waits for its retry.");
    sample("vesk_sync_retry_pending", {}, figures.sync && figures.sync->retryPending ? 1 : 0);
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
