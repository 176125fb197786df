#include <vesk/protocol/status.h>

#include <vesk/protocol/homelayout.h>
#include <vesk/protocol/timetext.h>

#include <vesk/log/peertext.h>

#include <QJsonArray>
#include <QJsonValue>

#include <cmath>
#include <cstdlib>

namespace vesk::status {

namespace {

// Whole numbers beyond this are not exact in a JSON number (a double).
constexpr double largestExact = 9007199254740992.0;

QDateTime timeOf(const QJsonValue& value)
{
    return protocol::readWireTime(value.toString());
}

QString textOf(const QJsonValue& value, const QString& unknown = QStringLiteral("?"))
{
    return value.isString() ? log::peerText(value.toString(), 1000) : unknown;
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

enum class Number { unknown, outOfRange, exact };

// A count of the file: a whole number the file holds exactly, or why not.
Number numberOf(const QJsonValue& value, qint64& number)
{
    if (!value.isDouble())
        return Number::unknown;
    const double d = value.toDouble();
    if (!std::isfinite(d) || std::fabs(d) > largestExact || d != std::trunc(d))
        return Number::outOfRange;
    number = qint64(d);
    return Number::exact;
}

// A count; with `bytes`, a size for a person: "812 B", "14.2 MB", "1.3 GB".
QString count(const QJsonValue& value, bool bytes = false)
{
    qint64 number = 0;
    switch (numberOf(value, number)) {
    case Number::unknown:
        return QStringLiteral("?");
    case Number::outOfRange:
        return QStringLiteral("(out of range)");
    case Number::exact:
        break;
    }
    if (!bytes)
        return QString::number(number);
    if (std::llabs(number) < 1000)
        return QStringLiteral("%1 B").arg(number);
    const char* const units[] = { "kB", "MB", "GB", "TB", "PB", "EB" };
    double scaled = double(number);
    int unit = -1;
    while (std::fabs(scaled) >= 1000 && unit < 5) {
        scaled /= 1000;
        ++unit;
    }
    return QStringLiteral("%1 %2").arg(scaled, 0, 'f', 1).arg(QLatin1String(units[unit]));
}

QString line(const char* label, const QString& text)
{
    return QStringLiteral("%1 %2\n").arg(QLatin1String(label), -11).arg(text);
}

QString syncText(const QJsonObject& sync)
{
    const QString outcome = textOf(sync.value(key::outcome));
    QString text = clock(sync.value(key::time)) + QStringLiteral(", ") + outcome;
    if (outcome == outcomeText(SyncOutcome::switched))
        text += QStringLiteral(": %1 files, %2")
                    .arg(count(sync.value(key::files)), count(sync.value(key::bytes), true));
    if (sync.contains(key::reason))
        text += QStringLiteral(": ") + textOf(sync.value(key::reason));
    if (sync.contains(key::refusedSince))
        text += QStringLiteral(", the same TF since ") + clock(sync.value(key::refusedSince));
    text += QStringLiteral(" (%1 ms)").arg(count(sync.value(key::durationMs)));
    if (sync.value(key::retryPending).toBool())
        text += QStringLiteral("; retried automatically");
    if (sync.value(key::delivery).isString())
        text += QStringLiteral("; TF ") + textOf(sync.value(key::delivery));
    return text;
}

QString nowText(const QJsonValue& value)
{
    if (!value.isObject())
        return QStringLiteral("nothing (no schedule)");
    const QJsonObject now = value.toObject();
    const QString end = QStringLiteral(" until ") + clock(now.value(key::end));
    const QString url = textOf(now.value(key::url), {});
    if (now.value(key::idle).toBool())
        return (url.isEmpty() ? QStringLiteral("idle, nothing shown")
                              : QStringLiteral("idle, placeholder ") + url)
            + end;
    QString text = QStringLiteral("%1 / %2: %3")
                       .arg(textOf(now.value(key::playlist)), textOf(now.value(key::file)), url);
    if (now.value(key::placeholder).toBool())
        text += QStringLiteral(" (cannot be played: placeholder shown)");
    return text + end;
}

QString apiText(const QJsonObject& api)
{
    QStringList parts;
    const QJsonObject answered = api.value(key::answered).toObject();
    for (auto it = answered.constBegin(); it != answered.constEnd(); ++it)
        parts << QStringLiteral("%1 x%2").arg(log::peerText(it.key(), 1000), count(it.value()));
    if (parts.isEmpty())
        parts << QStringLiteral("no requests");
    return parts.join(QStringLiteral(", "))
        + QStringLiteral("; %1 dropped without an answer").arg(count(api.value(key::dropped)));
}

QString stateText(const QJsonObject& status, const QDateTime& now)
{
    if (status.value(key::stopped).isString())
        return QStringLiteral("STOPPED at ") + clock(status.value(key::stopped));
    if (!looksAlive(status, now))
        return QStringLiteral("NOT RUNNING? the status is stale, updated ")
            + ago(status.value(key::updated), now);
    return QStringLiteral("running since ") + clock(status.value(key::started));
}

QString playingText(const QJsonObject& playing)
{
    const QJsonValue workDir = playing.value(key::workDir);
    QStringList playlists;
    for (const QJsonValue& name : playing.value(key::playlists).toArray())
        playlists << textOf(name);
    QString text = (workDir.isString() ? textOf(workDir) : QStringLiteral("nothing delivered"))
        + (playlists.isEmpty() ? QString() : QStringLiteral(", playlists ") + playlists.join(u' '));
    if (playing.value(key::delivery).isString())
        text += QStringLiteral("; TF %1 applied %2")
                    .arg(textOf(playing.value(key::delivery)), clock(playing.value(key::applied)));
    return text;
}

} // namespace

QLatin1String outcomeText(SyncOutcome outcome)
{
    switch (outcome) {
    case SyncOutcome::switched:
        return QLatin1String("switched");
    case SyncOutcome::upToDate:
        return QLatin1String("up to date");
    case SyncOutcome::noDelivery:
        return QLatin1String("no delivery");
    case SyncOutcome::refused:
    case SyncOutcome::malformed:
        return QLatin1String("refused");
    case SyncOutcome::retryPending:
        break;
    }
    return QLatin1String("retry pending");
}

bool retries(SyncOutcome outcome)
{
    return outcome == SyncOutcome::refused || outcome == SyncOutcome::retryPending;
}

QString deliveryText(std::uint64_t tfHash)
{
    return QStringLiteral("%1").arg(tfHash, 16, 16, QChar(u'0'));
}

QStringList defaultLocations()
{
    return { QString::fromLatin1(protocol::home::runtimeStatusPath),
        QString::fromLatin1(protocol::home::homePath) + u'/'
            + QString::fromLatin1(protocol::home::statusFile) };
}

bool looksAlive(const QJsonObject& status, const QDateTime& now)
{
    const QDateTime updated = timeOf(status.value(key::updated));
    return !status.value(key::stopped).isString() && updated.isValid()
        && updated.secsTo(now) <= staleAfterSeconds;
}

QString statusText(const QJsonObject& status, const QDateTime& now)
{
    QString text = QStringLiteral("vesk-service %1 (pid %2): %3; updated %4\n")
                       .arg(textOf(status.value(key::version)), count(status.value(key::pid)),
                           stateText(status, now), ago(status.value(key::updated), now));

    const QJsonValue pairing = status.value(key::pairing);
    text += line("Paired:",
        pairing.isObject() ? QStringLiteral("with ") + textOf(pairing.toObject().value(key::server))
                           : QStringLiteral("no: no management server has paired"));

    const QJsonValue beat = status.value(key::heartbeat);
    text += line("Heartbeat:",
        beat.isObject() ? clock(beat.toObject().value(key::time)) + QStringLiteral(", ")
                + textOf(beat.toObject().value(key::outcome))
                        : QStringLiteral("none yet"));

    const QJsonValue sync = status.value(key::sync);
    text += line("Delivery:",
        sync.isObject() ? syncText(sync.toObject()) : QStringLiteral("not looked at yet"));

    const QJsonValue switched = status.value(key::lastSwitch);
    text += line("Went in:",
        switched.isObject() ? syncText(switched.toObject())
                            : QStringLiteral("no delivery since the start"));

    const QJsonObject playing = status.value(key::playing).toObject();
    text += line("Plays from:", playingText(playing));
    text += line("Now:", nowText(playing.value(key::now)));

    const QJsonObject stream = status.value(key::stream).toObject();
    text += line("Stream:",
        QStringLiteral("to %1: %2 datagrams (%3), %4 errors, %5 displays joined")
            .arg(textOf(stream.value(key::destination)), count(stream.value(key::datagrams)),
                count(stream.value(key::bytes), true), count(stream.value(key::errors)),
                count(stream.value(key::displaysJoined))));
    text += line("API:", apiText(status.value(key::api).toObject()));
    return text;
}

} // namespace vesk::status
