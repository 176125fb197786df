#include <vesk/plays/readout.h>

#include "ledgerfiles.h"

#include <vesk/file/fileoperations.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QRegularExpression>

#include <sys/file.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <optional>
#include <system_error>

namespace vesk::plays {

namespace {

using detail::Entry;

constexpr qint64 largestSegment = qint64(1) << 30;
// A segment that vanishes between the listing and the open was dropped meanwhile: list again.
constexpr int listingAttempts = 5;

// Holds the directory's lock for as long as it lives.
class DirectoryLock
{
public:
    DirectoryLock(int directory, int operation)
        : m_directory(directory)
    {
        while (::flock(directory, operation) != 0)
            if (errno != EINTR)
                throw std::system_error(errno, std::generic_category(), "cannot lock the ledger");
    }
    ~DirectoryLock() { ::flock(m_directory, LOCK_UN); }
    DirectoryLock(const DirectoryLock&) = delete;
    DirectoryLock& operator=(const DirectoryLock&) = delete;

private:
    int m_directory;
};

struct Gathered
{
    QString ledger;
    std::uint64_t acked = 0;
    std::uint64_t last = 0;
    std::map<std::uint64_t, PlayRecord> plays;
    std::vector<Gap> gaps;
};

// The segments that may hold lines of seqs after `after`, opened together.
// `locked`: the caller holds the directory's lock already.
std::vector<file::Descriptor> openSegments(
    int directory, std::uint64_t after, bool locked, std::uint64_t& lowestFirst)
{
    for (int attempt = 0; attempt < listingAttempts; ++attempt) {
        std::optional<DirectoryLock> lock;
        if (!locked)
            lock.emplace(directory, LOCK_SH);
        const std::vector<detail::SegmentFile> files = detail::listSegments(directory);
        // A segment holds no record of a seq at or above the next one's first seq.
        std::size_t start = 0;
        while (start + 1 < files.size() && files[start + 1].first <= after + 1)
            ++start;
        lowestFirst = start < files.size() ? files[start].first : 0;
        std::vector<file::Descriptor> opened;
        bool vanished = false;
        for (std::size_t i = start; i < files.size() && !vanished; ++i) {
            std::error_code error;
            opened.push_back(file::openInside(
                directory, files[i].name.toStdString(), file::EntryType::RegularFile, error));
            if (!opened.back().isOpen()) {
                if (error != std::errc::no_such_file_or_directory)
                    throw std::system_error(error, "cannot open a segment of the ledger");
                vanished = true;
            }
        }
        if (!vanished)
            return opened;
    }
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
        "the ledger's segments keep changing");
}

Gathered gather(int directory, std::uint64_t after, bool locked = false)
{
    Gathered gathered;
    gathered.ledger = detail::readLedgerId(directory);
    if (gathered.ledger.isEmpty())
        throw std::system_error(std::make_error_code(std::errc::no_such_file_or_directory),
            "the ledger has no identity yet");
    if (const std::optional<detail::Acked> acked = detail::readAcked(directory);
        acked && acked->ledger == gathered.ledger)
        gathered.acked = acked->seq;
    std::uint64_t lowestFirst = 0;
    const std::vector<file::Descriptor> segments
        = openSegments(directory, after, locked, lowestFirst);
    // Everything before the first segment read was handed out and accounted for.
    if (lowestFirst > 1)
        gathered.last = std::min(after, lowestFirst - 1);
    for (const file::Descriptor& segment : segments) {
        const detail::SegmentScan scan
            = detail::scanSegment(file::readAll(segment.get(), largestSegment), after);
        gathered.last = std::max(gathered.last, scan.skippedUpTo);
        for (const Entry& entry : scan.entries) {
            if (entry.kind == Entry::Kind::play) {
                gathered.last = std::max(gathered.last, entry.record.seq);
                gathered.plays.emplace(entry.record.seq, entry.record);
            } else if (entry.kind == Entry::Kind::gap) {
                gathered.last = std::max(gathered.last, entry.gap.to);
                if (entry.gap.to > after)
                    gathered.gaps.push_back(entry.gap);
            }
        }
    }
    std::sort(gathered.gaps.begin(), gathered.gaps.end(),
        [](const Gap& a, const Gap& b) { return a.from < b.from; });
    return gathered;
}

// The recorded gap that covers `seq`, if any.
const Gap* gapAt(const std::vector<Gap>& gaps, std::uint64_t seq)
{
    for (const Gap& gap : gaps) {
        if (gap.from > seq)
            break;
        if (gap.to >= seq)
            return &gap;
    }
    return nullptr;
}

// The first seq after `seq` at which a recorded gap starts; 0 when none does.
std::uint64_t nextGapStart(const std::vector<Gap>& gaps, std::uint64_t seq)
{
    for (const Gap& gap : gaps)
        if (gap.from > seq)
            return gap.from;
    return 0;
}


// Seqs and counts travel as JSON numbers, which hold whole numbers exactly up to 2^53.
constexpr double largestExactInteger = 9007199254740992.0;

// Reads the members of one line from a peer, remembering the first that is missing or wrong.
class LineReader
{
public:
    LineReader(const QJsonObject& object, const ReadoutLimits& limits)
        : m_object(object)
        , m_limits(limits)
    {
    }

    // A whole number from `min` on.
    std::uint64_t number(const char* key, std::uint64_t min)
    {
        const QJsonValue value = m_object.value(QLatin1String(key));
        const double d = value.toDouble(-1);
        if (!value.isDouble() || d < double(min) || d > largestExactInteger || std::floor(d) != d) {
            wrong(key);
            return min;
        }
        return std::uint64_t(d);
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

    // 16 lower-case hex digits, or empty where the delivery did not list the file.
    QString checksum(const char* key)
    {
        static const QRegularExpression rule(QStringLiteral("^([0-9a-f]{16})?$"));
        QString value = text(key);
        if (!rule.match(value).hasMatch())
            wrong(key);
        return value;
    }

    QString ledger()
    {
        QString value = text("ledger");
        if (!validLedger(value))
            wrong("ledger");
        return value;
    }

    QDateTime time(const char* key)
    {
        const QDateTime value = fromIsoWithOffset(text(key));
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

PlayLine readPlay(LineReader& r)
{
    PlayLine line;
    PlayRecord& play = line.record;
    play.seq = r.number("seq", 1);
    line.ledger = r.ledger();
    play.playlist = r.text("playlist");
    play.file = r.text("file");
    play.url = r.text("url");
    play.checksum = r.checksum("checksum");
    play.delivery = r.checksum("delivery");
    play.scheduledStart = r.time("scheduledStart");
    play.scheduledEnd = r.time("scheduledEnd");
    play.start = r.time("start");
    play.end = r.time("end");
    if (const std::optional<Outcome> outcome = outcomeFrom(r.text("outcome")))
        play.outcome = *outcome;
    else
        r.wrong("outcome");
    play.placeholder = r.flag("placeholder");
    return line;
}

std::optional<ReadoutLine> readLine(LineReader& r, QStringView type)
{
    if (type == u"play")
        return readPlay(r);
    if (type == u"gap") {
        Gap gap;
        gap.from = r.number("from", 1);
        gap.to = r.number("to", gap.from);
        if (r.number("count", 1) != gap.count())
            r.wrong("count");
        const QString reason = r.text("reason");
        if (reason == reasonText(Gap::Reason::lost))
            gap.reason = Gap::Reason::lost;
        else if (reason != reasonText(Gap::Reason::full))
            r.wrong("reason");
        return gap;
    }
    if (type == u"ledger") {
        LedgerLine ledger;
        ledger.ledger = r.ledger();
        ledger.last = r.number("last", 0);
        ledger.acked = r.number("acked", 0);
        if (ledger.acked > ledger.last)
            r.wrong("acked");
        return ledger;
    }
    if (type == u"end")
        return EndLine { r.flag("more") };
    if (type == u"acked") {
        AckedLine acked;
        acked.ledger = r.ledger();
        acked.acked = r.number("acked", 0);
        return acked;
    }
    r.wrong("type");
    return std::nullopt;
}

struct LineText
{
    QByteArray operator()(const LedgerLine& l) const
    {
        return "{\"type\":\"ledger\",\"ledger\":" + jsonString(l.ledger)
            + ",\"last\":" + QByteArray::number(quint64(l.last))
            + ",\"acked\":" + QByteArray::number(quint64(l.acked)) + "}";
    }
    QByteArray operator()(const PlayLine& p) const
    {
        return recordJson(p.record, LineKind::play, p.ledger);
    }
    QByteArray operator()(const Gap& g) const { return gapJson(g); }
    QByteArray operator()(const EndLine& e) const
    {
        return e.more ? "{\"type\":\"end\",\"more\":true}" : "{\"type\":\"end\",\"more\":false}";
    }
    QByteArray operator()(const AckedLine& a) const
    {
        return "{\"type\":\"acked\",\"ledger\":" + jsonString(a.ledger)
            + ",\"acked\":" + QByteArray::number(quint64(a.acked)) + "}";
    }
};

} // namespace

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
    LineReader reader(object, limits);
    std::optional<ReadoutLine> result = readLine(reader, object.value("type").toString());
    if (!reader.error().isEmpty())
        return refuse(reader.error());
    return result;
}

QByteArray formatReadoutLine(const ReadoutLine& line)
{
    return std::visit(LineText {}, line);
}

bool validLedger(QStringView text)
{
    static const QRegularExpression rule(
        QStringLiteral("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$"));
    return rule.match(text).hasMatch();
}

ReadOut readOut(const QString& directory, std::uint64_t after, std::size_t limit)
{
    const Gathered gathered = gather(file::openDirectory(directory.toStdString()).get(), after);
    ReadOut out;
    out.ledger = gathered.ledger;
    out.last = gathered.last;
    out.acked = gathered.acked;
    limit = std::min(limit, largestLimit);
    std::uint64_t seq = after + 1;
    while (seq <= gathered.last && out.items.size() < limit) {
        const auto record = gathered.plays.find(seq);
        if (record != gathered.plays.end()) {
            out.items.emplace_back(record->second);
            ++seq;
            continue;
        }
        // Up to the next record, or the next change of reason.
        const auto following = gathered.plays.upper_bound(seq);
        std::uint64_t to = following == gathered.plays.end() ? gathered.last : following->first - 1;
        Gap gap { seq, to, Gap::Reason::lost };
        if (const Gap* recorded = gapAt(gathered.gaps, seq)) {
            gap.reason = recorded->reason;
            gap.to = std::min(to, recorded->to);
            // A later recorded gap of the same reason that touches this one is the same loss.
            for (const Gap& other : gathered.gaps)
                if (other.reason == gap.reason && other.from <= gap.to + 1 && other.to > gap.to)
                    gap.to = std::min(to, other.to);
        } else if (const std::uint64_t start = nextGapStart(gathered.gaps, seq);
                   start > 0 && start <= to) {
            gap.to = start - 1;
        }
        if (gap.to <= gathered.acked) {
            // Acknowledged, then forgotten: the management server has them.
            seq = gap.to + 1;
            continue;
        }
        gap.from = std::max(gap.from, gathered.acked + 1);
        out.items.emplace_back(gap);
        seq = gap.to + 1;
    }
    out.more = seq <= gathered.last;
    return out;
}

QByteArray readOutText(const ReadOut& out)
{
    QByteArray text = formatReadoutLine(LedgerLine { out.ledger, out.last, out.acked }) + '\n';
    for (const std::variant<PlayRecord, Gap>& item : out.items) {
        if (const PlayRecord* record = std::get_if<PlayRecord>(&item))
            text += formatReadoutLine(PlayLine { out.ledger, *record }) + '\n';
        else
            text += formatReadoutLine(std::get<Gap>(item)) + '\n';
    }
    return text + formatReadoutLine(EndLine { out.more }) + '\n';
}

AckAnswer acknowledge(const QString& path, const QString& ledger, const QString& seqText)
{
    const std::optional<std::uint64_t> seq = detail::parseSeq(seqText);
    if (!seq)
        return { false, "not a number: " + seqText.left(40).toUtf8() };
    const file::Descriptor directory = file::openDirectory(path.toStdString());
    // One ack at a time, so that a later one is never overwritten by an earlier.
    const DirectoryLock lock(directory.get(), LOCK_EX);
    const QString id = detail::readLedgerId(directory.get());
    if (ledger != id)
        return { false, "another ledger: this register keeps " + id.toUtf8() };
    const std::uint64_t last = gather(directory.get(), *seq > 0 ? *seq - 1 : 0, true).last;
    if (*seq > last)
        return { false,
            "beyond the last seq: " + QByteArray::number(quint64(*seq)) + " > "
                + QByteArray::number(quint64(last)) };
    std::uint64_t acked = *seq;
    const std::optional<detail::Acked> current = detail::readAcked(directory.get());
    if (current && current->ledger == id && current->seq >= *seq)
        acked = current->seq;
    else
        file::save2file(
            directory.get(), detail::ackedFileName, detail::ackedContent({ id, acked }), 0644);
    return { true, formatReadoutLine(AckedLine { id, acked }) + '\n' };
}

std::vector<PlayRecord> playsOn(const QString& directory, const QDate& day)
{
    const Gathered gathered = gather(file::openDirectory(directory.toStdString()).get(), 0);
    std::vector<PlayRecord> plays;
    for (const auto& [seq, record] : gathered.plays)
        if (record.start.toLocalTime().date() == day)
            plays.push_back(record);
    return plays;
}

} // namespace vesk::plays
