#include "ledgerfiles.h"

#include <vesk/file/fileoperations.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <xxhash.h>

#include <dirent.h>
#include <fcntl.h>

#include <algorithm>

namespace vesk::plays {

QString reasonText(Gap::Reason reason)
{
    return reason == Gap::Reason::full ? QStringLiteral("full") : QStringLiteral("lost");
}

QByteArray gapJson(const Gap& gap)
{
    return "{\"type\":\"gap\",\"from\":" + QByteArray::number(quint64(gap.from))
        + ",\"to\":" + QByteArray::number(quint64(gap.to))
        + ",\"count\":" + QByteArray::number(quint64(gap.count()))
        + ",\"reason\":\"" + reasonText(gap.reason).toLatin1() + "\"}";
}

namespace {

std::optional<std::uint64_t> seqOf(const QJsonValue& value)
{
    const double number = value.toDouble(-1);
    if (!value.isDouble() || number < 0 || number > 9007199254740992.0
        || number != double(qint64(number)))
        return std::nullopt;
    return std::uint64_t(number);
}

} // namespace

std::optional<Gap> gapFromJson(const QByteArray& json)
{
    const QJsonObject object = QJsonDocument::fromJson(json).object();
    const std::optional<std::uint64_t> from = seqOf(object.value("from"));
    const std::optional<std::uint64_t> to = seqOf(object.value("to"));
    const QString reason = object.value("reason").toString();
    if (object.value("type").toString() != u"gap" || !from || !to || *from < 1 || *from > *to
        || (reason != u"full" && reason != u"lost"))
        return std::nullopt;
    return Gap { *from, *to, reason == u"full" ? Gap::Reason::full : Gap::Reason::lost };
}

namespace detail {

namespace {

constexpr qsizetype digits = 16;
const QByteArray segmentPrefix = "segment-";

QByteArray hex(std::uint64_t value)
{
    return QByteArray::number(quint64(value), 16).rightJustified(digits, '0');
}

// The seq of an open or play line, read without parsing the whole object: the writer puts it
// right after the type.
std::optional<std::uint64_t> leadingSeq(QByteArrayView json)
{
    const qsizetype at = json.indexOf("\"seq\":");
    if (at < 0 || at > 32)
        return std::nullopt;
    std::uint64_t seq = 0;
    qsizetype i = at + 6;
    for (; i < json.size() && json[i] >= '0' && json[i] <= '9' && i < at + 26; ++i)
        seq = seq * 10 + std::uint64_t(json[i] - '0');
    return i > at + 6 ? std::optional(seq) : std::nullopt;
}

std::optional<Entry> entryOf(
    const QByteArray& json, std::uint64_t after, bool seqsOnly, std::uint64_t& skipped)
{
    skipped = 0;
    Entry entry;
    if (json.startsWith("{\"type\":\"open\"") || json.startsWith("{\"type\":\"play\"")) {
        const bool open = json.startsWith("{\"type\":\"open\"");
        if (seqsOnly) {
            const std::optional<std::uint64_t> seq = leadingSeq(json);
            if (!seq)
                return std::nullopt;
            entry.kind = open ? Entry::Kind::open : Entry::Kind::play;
            entry.record.seq = *seq;
            return entry;
        }
        if (after > 0) {
            if (const std::optional<std::uint64_t> seq = leadingSeq(json); seq && *seq <= after) {
                skipped = *seq;
                return std::nullopt;
            }
        }
        std::optional<PlayRecord> record
            = recordFromJson(json, open ? LineKind::open : LineKind::play);
        if (!record)
            return std::nullopt;
        entry.kind = open ? Entry::Kind::open : Entry::Kind::play;
        entry.record = std::move(*record);
        return entry;
    }
    if (json.startsWith("{\"type\":\"gap\"")) {
        const std::optional<Gap> gap = gapFromJson(json);
        if (!gap)
            return std::nullopt;
        entry.kind = Entry::Kind::gap;
        entry.gap = *gap;
        return entry;
    }
    const QJsonObject object = QJsonDocument::fromJson(json).object();
    const std::optional<std::uint64_t> upto = seqOf(object.value("upto"));
    if (object.value("type").toString() != u"reserve" || !upto || !object.value("boot").isString())
        return std::nullopt;
    entry.kind = Entry::Kind::reserve;
    entry.upto = *upto;
    entry.boot = object.value("boot").toString();
    return entry;
}

} // namespace

QByteArray frame(const QByteArray& json)
{
    return hex(XXH64(json.constData(), std::size_t(json.size()), 0)) + ' ' + json + '\n';
}

QByteArray reserveJson(std::uint64_t upto, const QString& boot)
{
    return "{\"type\":\"reserve\",\"upto\":" + QByteArray::number(quint64(upto))
        + ",\"boot\":" + jsonString(boot) + "}";
}

SegmentScan scanSegment(const QByteArray& content, std::uint64_t after, bool seqsOnly)
{
    SegmentScan scan;
    qsizetype start = 0;
    while (start < content.size()) {
        const qsizetype end = content.indexOf('\n', start);
        if (end < 0) {
            scan.torn = true;
            break;
        }
        scan.whole = end + 1;
        const QByteArrayView line = QByteArrayView(content).sliced(start, end - start);
        start = end + 1;
        if (line.size() < digits + 2 || line[digits] != ' ') {
            ++scan.garbled;
            continue;
        }
        const QByteArray json = line.sliced(digits + 1).toByteArray();
        if (line.first(digits) != hex(XXH64(json.constData(), std::size_t(json.size()), 0))) {
            ++scan.garbled;
            continue;
        }
        std::uint64_t skipped = 0;
        if (std::optional<Entry> entry = entryOf(json, after, seqsOnly, skipped))
            scan.entries.push_back(std::move(*entry));
        else if (skipped == 0)
            ++scan.garbled;
        else if (json.startsWith("{\"type\":\"play\""))
            scan.skippedUpTo = std::max(scan.skippedUpTo, skipped);
    }
    return scan;
}

QString segmentName(std::uint64_t first)
{
    return QString::fromLatin1(segmentPrefix)
        + QStringLiteral("%1").arg(quint64(first), 20, 10, QChar('0'));
}

std::optional<std::uint64_t> segmentFirst(const QString& name)
{
    static const QRegularExpression pattern(QStringLiteral("^segment-(\\d{20})$"));
    const QRegularExpressionMatch match = pattern.match(name);
    if (!match.hasMatch())
        return std::nullopt;
    bool ok = false;
    const quint64 first = match.captured(1).toULongLong(&ok);
    return ok && first > 0 ? std::optional<std::uint64_t>(first) : std::nullopt;
}

std::vector<SegmentFile> listSegments(int directory)
{
    std::vector<SegmentFile> segments;
    const int copy = ::openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (copy < 0)
        throw std::system_error(errno, std::generic_category(), "the ledger's directory");
    DIR* listing = ::fdopendir(copy);
    if (!listing) {
        ::close(copy);
        throw std::system_error(errno, std::generic_category(), "the ledger's directory");
    }
    while (const dirent* entry = ::readdir(listing)) {
        const QString name = QString::fromUtf8(entry->d_name);
        if (const std::optional<std::uint64_t> first = segmentFirst(name))
            segments.push_back({ name, *first });
    }
    ::closedir(listing);
    std::sort(segments.begin(), segments.end(),
        [](const SegmentFile& a, const SegmentFile& b) { return a.first < b.first; });
    return segments;
}

bool isLedgerId(const QString& text)
{
    static const QRegularExpression pattern(
        QStringLiteral("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$"));
    return pattern.match(text).hasMatch();
}

namespace {

std::optional<QByteArray> readSmall(int directory, const char* name)
{
    std::error_code error;
    const file::Descriptor file
        = file::openInside(directory, name, file::EntryType::RegularFile, error);
    if (!file.isOpen())
        return std::nullopt;
    try {
        return file::readAll(file.get(), smallFileLimit);
    } catch (const std::system_error&) {
        return std::nullopt;
    }
}

} // namespace

std::optional<Acked> readAcked(int directory)
{
    const std::optional<QByteArray> content = readSmall(directory, ackedFileName);
    if (!content || !content->endsWith('\n'))
        return std::nullopt;
    const QList<QByteArray> words = content->trimmed().split(' ');
    if (words.size() != 2 || !isLedgerId(QString::fromLatin1(words[0])))
        return std::nullopt;
    const std::optional<std::uint64_t> seq = parseSeq(QString::fromLatin1(words[1]));
    if (!seq)
        return std::nullopt;
    return Acked { QString::fromLatin1(words[0]), *seq };
}

QByteArray ackedContent(const Acked& acked)
{
    return acked.ledger.toLatin1() + ' ' + QByteArray::number(quint64(acked.seq)) + '\n';
}

QString readLedgerId(int directory)
{
    const std::optional<QByteArray> content = readSmall(directory, ledgerFileName);
    if (!content || !content->endsWith('\n'))
        return {};
    const QString id = QString::fromLatin1(content->chopped(1));
    return isLedgerId(id) ? id : QString();
}

std::optional<std::uint64_t> parseSeq(const QString& text)
{
    if (text.isEmpty() || text.size() > 19)
        return std::nullopt;
    std::uint64_t seq = 0;
    for (const QChar c : text) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
        seq = seq * 10 + std::uint64_t(c.unicode() - u'0');
    }
    return seq;
}

} // namespace detail
} // namespace vesk::plays
