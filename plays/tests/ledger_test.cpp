#include <vesk/plays/ledger.h>
#include <vesk/plays/readout.h>

#include "ledgerfiles.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <filesystem>
#include <functional>
#include <map>

using namespace vesk::plays;

namespace {

const QDateTime t0 = QDateTime::fromString("2026-12-09T10:15:00.250+03:00", Qt::ISODateWithMs);

PlayRecord slot(int i)
{
    PlayRecord record;
    record.playlist = "shop";
    record.file = QStringLiteral("shop.%1").arg(i % 3 + 1);
    record.url = QStringLiteral("video/клип %1.mp4").arg(i % 3);
    record.checksum = "ef46db3751d8e999";
    record.delivery = "0123456789abcdef";
    record.scheduledStart = t0.addSecs(10 * i);
    record.scheduledEnd = t0.addSecs(10 * i + 10);
    record.start = record.scheduledStart.addMSecs(5);
    record.placeholder = i % 5 == 4;
    return record;
}

void play(Ledger& ledger, int i, Outcome outcome = Outcome::played)
{
    const std::uint64_t seq = ledger.open(slot(i));
    ledger.close(seq, slot(i).scheduledEnd, outcome);
}

// Sizes of the segments as the last flush left them: what a power cut keeps.
std::map<std::string, std::uintmax_t> durable(const QString& dir)
{
    std::map<std::string, std::uintmax_t> sizes;
    for (const auto& entry : std::filesystem::directory_iterator(dir.toStdString()))
        if (entry.path().filename().string().starts_with("segment-"))
            sizes[entry.path().filename().string()] = entry.file_size();
    return sizes;
}

void powerCut(const QString& dir, const std::map<std::string, std::uintmax_t>& kept)
{
    for (const auto& entry : std::filesystem::directory_iterator(dir.toStdString())) {
        const std::string name = entry.path().filename().string();
        if (!name.starts_with("segment-"))
            continue;
        if (const auto size = kept.find(name); size != kept.end())
            std::filesystem::resize_file(entry.path(), size->second);
        else
            std::filesystem::remove(entry.path());
    }
}

QString lastSegment(const QString& dir)
{
    QStringList names = QDir(dir).entryList({ "segment-*" }, QDir::Files, QDir::Name);
    return dir + '/' + names.last();
}

void append(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::Append));
    file.write(bytes);
}

std::vector<std::uint64_t> seqsOf(const ReadOut& out)
{
    std::vector<std::uint64_t> seqs;
    for (const auto& item : out.items)
        if (const PlayRecord* record = std::get_if<PlayRecord>(&item))
            seqs.push_back(record->seq);
    return seqs;
}

std::vector<Gap> gapsOf(const ReadOut& out)
{
    std::vector<Gap> gaps;
    for (const auto& item : out.items)
        if (const Gap* gap = std::get_if<Gap>(&item))
            gaps.push_back(*gap);
    return gaps;
}

} // namespace

// The record as one line, and the read-out of docs/plays.md: in seq order, limited, "more" told.
TEST(Ledger, RecordsAndReadOut)
{
    EXPECT_EQ(isoWithOffset(t0), "2026-12-09T10:15:00.250+03:00");
    EXPECT_EQ(isoWithOffset(t0.toUTC()), "2026-12-09T07:15:00.250+00:00");
    EXPECT_EQ(fromIsoWithOffset("2026-12-09T07:15:00.250+00:00"), t0);
    EXPECT_FALSE(fromIsoWithOffset("2026-12-09T07:15:00.250Z").isValid());

    const QTemporaryDir dir;
    Ledger ledger(dir.path(), "boot-1", {});
    EXPECT_TRUE(ledger.recovery().created);
    EXPECT_TRUE(detail::isLedgerId(ledger.id()));
    for (int i = 0; i < 7; ++i)
        play(ledger, i, i == 3 ? Outcome::cut : Outcome::played);
    const std::uint64_t open = ledger.open(slot(7));
    EXPECT_EQ(open, 8u);

    const ReadOut all = readOut(dir.path(), 0, defaultLimit);
    EXPECT_EQ(all.ledger, ledger.id());
    EXPECT_EQ(all.last, 7u);
    EXPECT_EQ(seqsOf(all), (std::vector<std::uint64_t> { 1, 2, 3, 4, 5, 6, 7 }));
    EXPECT_FALSE(all.more);
    PlayRecord fourth = slot(3);
    fourth.seq = 4;
    fourth.end = fourth.scheduledEnd;
    fourth.outcome = Outcome::cut;
    EXPECT_EQ(std::get<PlayRecord>(all.items[3]), fourth);

    const ReadOut part = readOut(dir.path(), 2, 3);
    EXPECT_EQ(seqsOf(part), (std::vector<std::uint64_t> { 3, 4, 5 }));
    EXPECT_TRUE(part.more);
    const QList<QByteArray> lines = readOutText(part).split('\n');
    EXPECT_EQ(lines.first(),
        "{\"type\":\"ledger\",\"ledger\":\"" + ledger.id().toLatin1()
            + "\",\"last\":7,\"acked\":0}");
    EXPECT_TRUE(
        lines[1].startsWith("{\"type\":\"play\",\"seq\":3,\"ledger\":\"" + ledger.id().toLatin1()));
    EXPECT_EQ(lines[4], "{\"type\":\"end\",\"more\":true}");
    // The management server reads every line the register writes.
    for (const QByteArray& line : lines.first(lines.size() - 1)) {
        QString why;
        EXPECT_TRUE(parseReadoutLine(line, &why)) << line.constData() << why.toStdString();
    }
}

// What a crash, a torn write, a garbled line or a power cut leaves, and what the next start makes
// of it: whole records only, the play going on "interrupted", and no seq ever handed out twice.
TEST(Ledger, Recovery)
{
    struct Row
    {
        const char* name;
        // After five plays and a sixth open; gets the directory and the sizes of the last flush.
        std::function<void(const QString&, const std::map<std::string, std::uintmax_t>&)> harm;
        const char* bootAfter;
        std::vector<std::uint64_t> records;
        std::vector<Gap> gaps;
        std::optional<std::uint64_t> interrupted;
        qint64 garbled;
        bool torn;
    };
    const std::vector<Row> table = {
        { "crash during a play", [](auto&, auto&) {}, "boot-1", { 1, 2, 3, 4, 5, 6 }, {}, 6, 0,
            false },
        { "torn last line",
            [](const QString& d, auto&) {
                append(lastSegment(d), "0123456789abcdef {\"type\":\"pl");
            },
            "boot-1", { 1, 2, 3, 4, 5, 6 }, {}, 6, 0, true },
        { "garbled line",
            [](const QString& d, auto&) {
                QFile file(lastSegment(d));
                ASSERT_TRUE(file.open(QIODevice::ReadWrite));
                QByteArray bytes = file.readAll();
                const qsizetype at = bytes.indexOf("\"type\":\"play\",\"seq\":2");
                bytes[at + 40] = bytes[at + 40] ^ 0x20;
                file.seek(0);
                file.write(bytes);
            },
            "boot-1", { 1, 3, 4, 5, 6 }, { { 2, 2, Gap::Reason::lost } }, 6, 1, false },
        { "power cut after the flush",
            [](const QString& d, const auto& kept) { powerCut(d, kept); }, "boot-2", { 1, 2, 3 },
            { { 4, 64, Gap::Reason::lost } }, std::nullopt, 0, false },
    };
    for (const Row& row : table) {
        SCOPED_TRACE(row.name);
        const QTemporaryDir dir;
        std::map<std::string, std::uintmax_t> kept;
        {
            Ledger ledger(dir.path(), "boot-1", {});
            for (int i = 0; i < 3; ++i)
                play(ledger, i);
            ledger.flush();
            kept = durable(dir.path());
            play(ledger, 3);
            play(ledger, 4);
            ledger.open(slot(5));
        }
        row.harm(dir.path(), kept);
        std::uint64_t next = 0;
        {
            Ledger ledger(dir.path(), row.bootAfter, {});
            const Ledger::Recovery recovery = ledger.recovery();
            EXPECT_EQ(recovery.interrupted, row.interrupted);
            EXPECT_EQ(recovery.garbledLines, row.garbled);
            EXPECT_EQ(recovery.tornBytes > 0, row.torn);
            next = ledger.open(slot(6));
        }
        const ReadOut out = readOut(dir.path(), 0, defaultLimit);
        EXPECT_EQ(seqsOf(out), row.records);
        EXPECT_EQ(gapsOf(out), row.gaps);
        EXPECT_GT(next, std::max<std::uint64_t>(5 + (row.records.size() > 5), out.last));
        if (row.interrupted) {
            const PlayRecord& last = std::get<PlayRecord>(out.items.back());
            EXPECT_EQ(last.outcome, Outcome::interrupted);
            EXPECT_EQ(last.end, last.start);
        }
    }
}

// A clean stop sets aside exactly what it handed out: a reboot after it loses nothing.
TEST(Ledger, CleanStopThenRebootLosesNothing)
{
    const QTemporaryDir dir;
    {
        Ledger ledger(dir.path(), "boot-1", {});
        play(ledger, 0);
        ledger.finish();
    }
    Ledger ledger(dir.path(), "boot-2", {});
    EXPECT_FALSE(ledger.recovery().lost);
    EXPECT_EQ(ledger.open(slot(1)), 2u);
}

// At the size limit the oldest records go and the loss is a "full" gap; what was acknowledged
// goes first and is no loss. The directory stays within its limit.
TEST(Ledger, CapAndAcknowledgement)
{
    struct Row
    {
        const char* name;
        int ackEvery; // ack everything written every so many plays; 0: never
        bool fullGap;
    };
    for (const Row& row :
        { Row { "never acknowledged", 0, true }, Row { "acknowledged", 10, false } }) {
        SCOPED_TRACE(row.name);
        const QTemporaryDir dir;
        const Ledger::Limits limits { 16 * 1024, 64 };
        Ledger ledger(dir.path(), "boot-1", limits);
        for (int i = 0; i < 200; ++i) {
            play(ledger, i);
            if (row.ackEvery && (i + 1) % row.ackEvery == 0) {
                ASSERT_TRUE(acknowledge(dir.path(), ledger.id(), QString::number(i + 1)).accepted);
            }
            qint64 bytes = 0;
            for (const auto& [name, size] : durable(dir.path()))
                bytes += qint64(size);
            ASSERT_LE(bytes, limits.maxBytes + 2048);
        }
        const ReadOut out = readOut(dir.path(), 0, largestLimit);
        EXPECT_EQ(out.last, 200u);
        const std::vector<Gap> gaps = gapsOf(out);
        if (row.fullGap) {
            ASSERT_EQ(gaps.size(), 1u);
            EXPECT_EQ(gaps[0].from, 1u);
            EXPECT_EQ(gaps[0].reason, Gap::Reason::full);
            EXPECT_EQ(seqsOf(out).front(), gaps[0].to + 1);
            EXPECT_EQ(seqsOf(out).back(), 200u);
            EXPECT_EQ(seqsOf(out).size(), 200 - gaps[0].count());
        } else {
            EXPECT_TRUE(gaps.empty());
            EXPECT_EQ(out.acked, 200u);
        }
    }
}

// The refusals of --ack, and an ack at or below the current one changing nothing.
TEST(Ledger, AckValidation)
{
    const QTemporaryDir dir;
    Ledger ledger(dir.path(), "boot-1", {});
    for (int i = 0; i < 5; ++i)
        play(ledger, i);
    const QString id = ledger.id();
    const QByteArray accepted3
        = "{\"type\":\"acked\",\"ledger\":\"" + id.toLatin1() + "\",\"acked\":3}\n";
    struct Row
    {
        QString ledger;
        QString seq;
        bool accepted;
        QByteArray text; // the answer, or the start of the reason
    };
    const Row table[] = {
        { id, "x1", false, "not a number: x1" },
        { id, "-1", false, "not a number: -1" },
        { id, "99999999999999999999", false, "not a number" },
        { "00000000-0000-0000-0000-000000000000", "1", false, "another ledger" },
        { id, "6", false, "beyond the last seq: 6 > 5" },
        { id, "3", true, accepted3 },
        { id, "2", true, accepted3 },
        { id, "3", true, accepted3 },
    };
    for (const Row& row : table) {
        const AckAnswer answer = acknowledge(dir.path(), row.ledger, row.seq);
        EXPECT_EQ(answer.accepted, row.accepted) << row.seq.toStdString();
        EXPECT_TRUE(answer.text.startsWith(row.text)) << answer.text.toStdString();
    }
    EXPECT_EQ(readOut(dir.path(), 0, defaultLimit).acked, 3u);
}
