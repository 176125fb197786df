#include <vesk/plays/playrecord.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QRegularExpression>

#include <cmath>

namespace vesk::plays {

namespace {

// Seqs and counts travel as JSON numbers, which hold whole numbers exactly up to 2^53.
constexpr double maxExactInteger = 9007199254740992.0;

const std::pair<Outcome, const char*> outcomeTexts[]
    = { { Outcome::played, "played" }, { Outcome::cut, "cut" }, { Outcome::failed, "failed" },
          { Outcome::interrupted, "interrupted" } };
const std::pair<Gap::Reason, const char*> reasonTexts[]
    = { { Gap::Reason::full, "full" }, { Gap::Reason::lost, "lost" } };

// Reads the members of one line, remembering the first that is missing or wrong.
class Reader
{
public:
    Reader(const QJsonObject& object, const ReadoutLimits& limits)
        : m_object(object)
        , m_limits(limits)
    {
    }

    // A whole number from `min` on.
    qint64 number(const char* key, qint64 min)
    {
        const QJsonValue value = m_object.value(QLatin1String(key));
        const double d = value.toDouble(-1);
        if (!value.isDouble() || d < double(min) || d > maxExactInteger || std::floor(d) != d) {
            wrong(key);
            return 0;
        }
        return qint64(d);
    }

    QString text(const char* key)
    {
        const QJsonValue value = m_object.value(QLatin1String(key));
        if (!value.isString() || value.toString().size() > m_limits.maxTextChars) {
            wrong(key);
            return {};
        }
        return value.toString();
    }

    QString matching(const char* key, const QRegularExpression& rule)
    {
        QString value = text(key);
        if (!rule.match(value).hasMatch())
            wrong(key);
        return value;
    }

    QString ledger(const char* key = "ledger")
    {
        QString value = text(key);
        if (!validLedger(value))
            wrong(key);
        return value;
    }

    QDateTime time(const char* key)
    {
        const QDateTime value = parseTime(text(key));
        if (!value.isValid())
            wrong(key);
        return value;
    }

    bool flag(const char* key)
    {
        const QJsonValue value = m_object.value(QLatin1String(key));
        if (!value.isBool())
            wrong(key);
        return value.toBool();
    }

    template <typename Enum, std::size_t N>
    Enum oneOf(const char* key, const std::pair<Enum, const char*> (&texts)[N])
    {
        const QString value = text(key);
        for (const auto& [e, t] : texts)
            if (value == QLatin1String(t))
                return e;
        wrong(key);
        return texts[0].first;
    }

    void wrong(const char* key)
    {
        if (m_error.isEmpty())
            m_error = QStringLiteral("\"%1\" is missing or wrong").arg(QLatin1String(key));
    }

    const QString& error() const { return m_error; }

private:
    const QJsonObject& m_object;
    const ReadoutLimits& m_limits;
    QString m_error;
};

PlayRecord readPlay(Reader& r)
{
    static const QRegularExpression hex16(QStringLiteral("^[0-9a-f]{16}$"));
    PlayRecord play;
    play.seq = r.number("seq", 1);
    play.ledger = r.ledger();
    play.playlist = r.text("playlist");
    play.file = r.text("file");
    play.url = r.text("url");
    play.checksum = r.matching("checksum", hex16);
    play.delivery = r.matching("delivery", hex16);
    play.scheduledStart = r.time("scheduledStart");
    play.scheduledEnd = r.time("scheduledEnd");
    play.start = r.time("start");
    play.end = r.time("end");
    play.outcome = r.oneOf("outcome", outcomeTexts);
    play.placeholder = r.flag("placeholder");
    return play;
}

Gap readGap(Reader& r)
{
    Gap gap;
    gap.from = r.number("from", 1);
    gap.to = r.number("to", gap.from);
    if (r.number("count", 1) != gap.count())
        r.wrong("count");
    gap.reason = r.oneOf("reason", reasonTexts);
    return gap;
}

std::optional<ReadoutLine> readLine(Reader& r, QStringView type)
{
    if (type == u"play")
        return readPlay(r);
    if (type == u"gap")
        return readGap(r);
    if (type == u"ledger") {
        LedgerLine ledger { r.ledger(), r.number("last", 0), 0 };
        ledger.acked = r.number("acked", 0);
        if (ledger.acked > ledger.last)
            r.wrong("acked");
        return ledger;
    }
    if (type == u"end")
        return EndLine { r.flag("more") };
    if (type == u"acked")
        return AckedLine { r.ledger(), r.number("acked", 0) };
    r.wrong("type");
    return std::nullopt;
}

QJsonObject toJson(const PlayRecord& play)
{
    return { { "type", "play" }, { "seq", play.seq }, { "ledger", play.ledger },
        { "playlist", play.playlist }, { "file", play.file }, { "url", play.url },
        { "checksum", play.checksum }, { "delivery", play.delivery },
        { "scheduledStart", timeText(play.scheduledStart) },
        { "scheduledEnd", timeText(play.scheduledEnd) }, { "start", timeText(play.start) },
        { "end", timeText(play.end) }, { "outcome", outcomeText(play.outcome) },
        { "placeholder", play.placeholder } };
}

struct ToJson
{
    QJsonObject operator()(const LedgerLine& l) const
    {
        return { { "type", "ledger" }, { "ledger", l.ledger }, { "last", l.last },
            { "acked", l.acked } };
    }
    QJsonObject operator()(const PlayRecord& p) const { return toJson(p); }
    QJsonObject operator()(const Gap& g) const
    {
        return { { "type", "gap" }, { "from", g.from }, { "to", g.to }, { "count", g.count() },
            { "reason", reasonText(g.reason) } };
    }
    QJsonObject operator()(const EndLine& e) const
    {
        return { { "type", "end" }, { "more", e.more } };
    }
    QJsonObject operator()(const AckedLine& a) const
    {
        return { { "type", "acked" }, { "ledger", a.ledger }, { "acked", a.acked } };
    }
};

} // namespace

QString outcomeText(Outcome outcome)
{
    for (const auto& [e, t] : outcomeTexts)
        if (e == outcome)
            return QLatin1String(t);
    return {};
}

std::optional<Outcome> parseOutcome(QStringView text)
{
    for (const auto& [e, t] : outcomeTexts)
        if (text == QLatin1String(t))
            return e;
    return std::nullopt;
}

QString reasonText(Gap::Reason reason)
{
    for (const auto& [e, t] : reasonTexts)
        if (e == reason)
            return QLatin1String(t);
    return {};
}

std::optional<ReadoutLine> parseReadoutLine(
    QByteArrayView line, QString* error, const ReadoutLimits& limits)
{
    const auto refuse = [error](const QString& why) -> std::optional<ReadoutLine> {
        if (error)
            *error = why;
        return std::nullopt;
    };
    if (line.size() > limits.maxLineBytes)
        return refuse(QStringLiteral("a line of more than %1 bytes").arg(limits.maxLineBytes));
    QJsonParseError parsed;
    const QJsonDocument document = QJsonDocument::fromJson(line.toByteArray(), &parsed);
    if (!document.isObject())
        return refuse(QStringLiteral("not a JSON object: %1").arg(parsed.errorString()));
    const QJsonObject object = document.object();
    Reader reader(object, limits);
    std::optional<ReadoutLine> result = readLine(reader, object.value("type").toString());
    if (!reader.error().isEmpty())
        return refuse(reader.error());
    return result;
}

QByteArray formatReadoutLine(const ReadoutLine& line)
{
    return QJsonDocument(std::visit(ToJson {}, line)).toJson(QJsonDocument::Compact);
}

QString timeText(const QDateTime& time)
{
    if (!time.isValid())
        return {};
    const int offset = time.offsetFromUtc();
    const int minutes = std::abs(offset) / 60;
    return time.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz"))
        + QStringLiteral("%1%2:%3")
              .arg(QChar(offset < 0 ? u'-' : u'+'))
              .arg(minutes / 60, 2, 10, QChar(u'0'))
              .arg(minutes % 60, 2, 10, QChar(u'0'));
}

QDateTime parseTime(QStringView text)
{
    static const QRegularExpression rule(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d$"));
    if (!rule.match(text).hasMatch())
        return {};
    return QDateTime::fromString(text.toString(), Qt::ISODateWithMs);
}

bool validLedger(QStringView text)
{
    static const QRegularExpression rule(
        QStringLiteral("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$"));
    return rule.match(text).hasMatch();
}

} // namespace vesk::plays
