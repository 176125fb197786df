#include "statustext.h"

#include <QJsonArray>
#include <QStringList>

namespace vesk::status {

namespace {

QDateTime timeOf(const QJsonValue& value)
{
    return QDateTime::fromString(value.toString(), Qt::ISODate);
}

// "2026-12-08 12:00:01", in the offset the service wrote.
QString clock(const QJsonValue& value)
{
    const QDateTime time = timeOf(value);
    return time.isValid() ? time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                          : QStringLiteral("?");
}

QString ago(const QJsonValue& value, const QDateTime& now)
{
    const QDateTime time = timeOf(value);
    if (!time.isValid())
        return QStringLiteral("?");
    const qint64 seconds = time.secsTo(now);
    if (seconds < 120)
        return QStringLiteral("%1 s ago").arg(seconds);
    if (seconds < 7200)
        return QStringLiteral("%1 min ago").arg(seconds / 60);
    return QStringLiteral("%1 h ago").arg(seconds / 3600);
}

// Bytes for a person: "812 B", "14.2 MB", "1.3 GB".
QString size(qint64 bytes)
{
    if (bytes < 1000)
        return QStringLiteral("%1 B").arg(bytes);
    const char* const units[] = { "kB", "MB", "GB", "TB" };
    double value = double(bytes);
    int unit = -1;
    while (value >= 1000 && unit < 3) {
        value /= 1000;
        ++unit;
    }
    return QStringLiteral("%1 %2").arg(value, 0, 'f', 1).arg(QLatin1String(units[unit]));
}

qint64 count(const QJsonObject& object, const char* key)
{
    return qint64(object.value(QLatin1String(key)).toDouble());
}

QString line(const char* label, const QString& text)
{
    return QStringLiteral("%1 %2\n").arg(QLatin1String(label), -11).arg(text);
}

QString syncText(const QJsonObject& sync)
{
    const QString outcome = sync.value("outcome").toString(QStringLiteral("?"));
    QString text = clock(sync.value("time")) + QStringLiteral(", ") + outcome;
    if (outcome == u"switched")
        text += QStringLiteral(": %1 files, %2")
                    .arg(count(sync, "files"))
                    .arg(size(count(sync, "bytes")));
    if (sync.contains("reason"))
        text += QStringLiteral(": ") + sync.value("reason").toString();
    text += QStringLiteral(" (%1 ms)").arg(count(sync, "durationMs"));
    if (sync.value("retryPending").toBool())
        text += QStringLiteral("; retried automatically");
    return text;
}

QString nowText(const QJsonValue& value)
{
    if (!value.isObject())
        return QStringLiteral("nothing (no schedule)");
    const QJsonObject now = value.toObject();
    const QString until = QStringLiteral(" until ") + clock(now.value("until"));
    const QString url = now.value("url").toString();
    if (now.value("idle").toBool())
        return (url.isEmpty() ? QStringLiteral("idle, nothing shown")
                              : QStringLiteral("idle, placeholder ") + url)
            + until;
    QString text = QStringLiteral("%1 / %2: %3")
                       .arg(now.value("playlist").toString(), now.value("file").toString(), url);
    if (now.value("placeholder").toBool())
        text += QStringLiteral(" (cannot be played: placeholder shown)");
    return text + until;
}

QString apiText(const QJsonObject& api)
{
    QStringList parts;
    const QJsonObject answered = api.value("answered").toObject();
    for (auto it = answered.constBegin(); it != answered.constEnd(); ++it)
        parts << QStringLiteral("%1 x%2").arg(it.key()).arg(qint64(it.value().toDouble()));
    if (parts.isEmpty())
        parts << QStringLiteral("no requests");
    return parts.join(QStringLiteral(", "))
        + QStringLiteral("; %1 dropped without an answer").arg(count(api, "dropped"));
}

} // namespace

bool looksAlive(const QJsonObject& status, const QDateTime& now)
{
    const QDateTime updated = timeOf(status.value("updated"));
    return !status.value("stopped").isString() && updated.isValid()
        && updated.secsTo(now) <= staleAfterSeconds;
}

QString statusText(const QJsonObject& status, const QDateTime& now)
{
    QString text;
    QString state;
    if (status.value("stopped").isString())
        state = QStringLiteral("STOPPED at ") + clock(status.value("stopped"));
    else if (!looksAlive(status, now))
        state = QStringLiteral("NOT RUNNING? the status is stale, updated ")
            + ago(status.value("updated"), now);
    else
        state = QStringLiteral("running since ") + clock(status.value("started"));
    text += QStringLiteral("vesk-service %1 (pid %2): %3; updated %4\n")
                .arg(status.value("version").toString(QStringLiteral("?")))
                .arg(count(status, "pid"))
                .arg(state, ago(status.value("updated"), now));

    const QJsonValue pairing = status.value("pairing");
    text += line("Paired:",
        pairing.isObject() ? QStringLiteral("with ") + pairing.toObject().value("server").toString()
                           : QStringLiteral("no: no management server has paired"));

    const QJsonValue beat = status.value("heartbeat");
    text += line("Heartbeat:",
        beat.isObject() ? clock(beat.toObject().value("time")) + QStringLiteral(", ")
                + beat.toObject().value("outcome").toString()
                        : QStringLiteral("none yet"));

    const QJsonValue sync = status.value("sync");
    text += line("Delivery:",
        sync.isObject() ? syncText(sync.toObject()) : QStringLiteral("not looked at yet"));

    const QJsonValue switched = status.value("lastSwitch");
    text += line("Went in:",
        switched.isObject() ? syncText(switched.toObject())
                            : QStringLiteral("no delivery since the start"));

    const QJsonObject playing = status.value("playing").toObject();
    const QJsonValue workDir = playing.value("workDir");
    QStringList playlists;
    for (const QJsonValue& name : playing.value("playlists").toArray())
        playlists << name.toString();
    text += line("Plays from:",
        (workDir.isString() ? workDir.toString() : QStringLiteral("nothing delivered"))
            + (playlists.isEmpty() ? QString()
                                   : QStringLiteral(", playlists ") + playlists.join(u' ')));
    text += line("Now:", nowText(playing.value("now")));

    const QJsonObject stream = status.value("stream").toObject();
    text += line("Stream:",
        QStringLiteral("to %1: %2 datagrams (%3), %4 errors, %5 displays joined")
            .arg(stream.value("destination").toString())
            .arg(count(stream, "datagrams"))
            .arg(size(count(stream, "bytes")))
            .arg(count(stream, "errors"))
            .arg(count(stream, "displaysJoined")));
    text += line("API:", apiText(status.value("api").toObject()));
    return text;
}

} // namespace vesk::status
