#include <vesk/plays/playrecord.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTimeZone>

#include <cstdlib>

namespace vesk::plays {

namespace {

constexpr const char* outcomeNames[] = { "played", "cut", "failed", "interrupted" };

// A JSON number holds integers exactly only up to 2^53; seqs never come near it.
constexpr double largestExactInteger = 9007199254740992.0;

} // namespace

QString outcomeText(Outcome outcome)
{
    return QString::fromLatin1(outcomeNames[int(outcome)]);
}

std::optional<Outcome> outcomeFrom(const QString& text)
{
    for (int i = 0; i < int(std::size(outcomeNames)); ++i)
        if (text == QLatin1String(outcomeNames[i]))
            return Outcome(i);
    return std::nullopt;
}

QString isoWithOffset(const QDateTime& time)
{
    const int offset = time.offsetFromUtc();
    const int minutes = std::abs(offset) / 60;
    // Built by hand: Qt writes "Z" for a zero offset.
    return time.toOffsetFromUtc(offset).toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz"))
        + (offset < 0 ? u'-' : u'+')
        + QStringLiteral("%1:%2")
              .arg(minutes / 60, 2, 10, QChar('0'))
              .arg(minutes % 60, 2, 10, QChar('0'));
}

QDateTime fromIsoWithOffset(const QString& text)
{
    // yyyy-MM-ddTHH:mm:ss.zzz+hh:mm and nothing else: no "Z", no spaces or signs in the numbers.
    static const QRegularExpression form(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d$"));
    if (!form.match(text).hasMatch())
        return {};
    const QDateTime local
        = QDateTime::fromString(text.first(23), QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz"));
    bool hoursOk = false;
    bool minutesOk = false;
    const int hours = text.mid(24, 2).toInt(&hoursOk);
    const int minutes = text.mid(27, 2).toInt(&minutesOk);
    if (!local.isValid() || !hoursOk || !minutesOk || hours > 23 || minutes > 59)
        return {};
    const int offset = (text[23] == u'-' ? -1 : 1) * (hours * 3600 + minutes * 60);
    // The offset as written: a record read back says the register's clock as it was.
    return QDateTime(local.date(), local.time(), QTimeZone(offset));
}

QByteArray jsonString(const QString& text)
{
    const QByteArray array = QJsonDocument(QJsonArray { text }).toJson(QJsonDocument::Compact);
    return array.sliced(1, array.size() - 2);
}

QByteArray recordJson(const PlayRecord& record, LineKind kind, const QString& ledger)
{
    QByteArray json = kind == LineKind::open ? "{\"type\":\"open\"" : "{\"type\":\"play\"";
    json += ",\"seq\":" + QByteArray::number(quint64(record.seq));
    if (!ledger.isEmpty())
        json += ",\"ledger\":" + jsonString(ledger);
    json += ",\"playlist\":" + jsonString(record.playlist);
    json += ",\"file\":" + jsonString(record.file);
    json += ",\"url\":" + jsonString(record.url);
    json += ",\"checksum\":" + jsonString(record.checksum);
    json += ",\"delivery\":" + jsonString(record.delivery);
    json += ",\"scheduledStart\":" + jsonString(isoWithOffset(record.scheduledStart));
    json += ",\"scheduledEnd\":" + jsonString(isoWithOffset(record.scheduledEnd));
    json += ",\"start\":" + jsonString(isoWithOffset(record.start));
    if (kind == LineKind::play) {
        json += ",\"end\":" + jsonString(isoWithOffset(record.end));
        json += ",\"outcome\":" + jsonString(outcomeText(record.outcome));
    }
    json += record.placeholder ? ",\"placeholder\":true}" : ",\"placeholder\":false}";
    return json;
}

std::optional<PlayRecord> recordFromJson(const QByteArray& json, LineKind kind)
{
    const QJsonObject object = QJsonDocument::fromJson(json).object();
    const char* type = kind == LineKind::open ? "open" : "play";
    const QJsonValue seq = object.value("seq");
    if (object.value("type").toString() != QLatin1String(type) || !seq.isDouble()
        || seq.toDouble() < 1 || seq.toDouble() > largestExactInteger
        || seq.toDouble() != double(qint64(seq.toDouble())))
        return std::nullopt;
    PlayRecord record;
    record.seq = std::uint64_t(seq.toDouble());
    QString* const texts[]
        = { &record.playlist, &record.file, &record.url, &record.checksum, &record.delivery };
    const char* const textNames[] = { "playlist", "file", "url", "checksum", "delivery" };
    for (std::size_t i = 0; i < std::size(texts); ++i) {
        const QJsonValue value = object.value(textNames[i]);
        if (!value.isString())
            return std::nullopt;
        *texts[i] = value.toString();
    }
    QDateTime* const times[]
        = { &record.scheduledStart, &record.scheduledEnd, &record.start, &record.end };
    const char* const timeNames[] = { "scheduledStart", "scheduledEnd", "start", "end" };
    const std::size_t timeCount = kind == LineKind::open ? 3 : 4;
    for (std::size_t i = 0; i < timeCount; ++i) {
        *times[i] = fromIsoWithOffset(object.value(timeNames[i]).toString());
        if (!times[i]->isValid())
            return std::nullopt;
    }
    if (kind == LineKind::play) {
        const std::optional<Outcome> outcome = outcomeFrom(object.value("outcome").toString());
        if (!outcome)
            return std::nullopt;
        record.outcome = *outcome;
    }
    if (!object.value("placeholder").isBool())
        return std::nullopt;
    record.placeholder = object.value("placeholder").toBool();
    return record;
}

} // namespace vesk::plays
