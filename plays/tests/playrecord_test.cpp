#include <vesk/plays/readout.h>

#include <gtest/gtest.h>

using namespace vesk::plays;

namespace {

const QString ledger = QStringLiteral("0b6c1c2e-4f1d-4a53-9d8e-2a7f3c9e5b10");

QByteArray playLine(const char* replace = nullptr, const char* with = nullptr)
{
    QByteArray line
        = R"({"type":"play","seq":7,"ledger":"0b6c1c2e-4f1d-4a53-9d8e-2a7f3c9e5b10",)"
          R"("playlist":"Утро","file":"a.mp4","url":"https://x.example/a",)"
          R"("checksum":"0123456789abcdef","delivery":"fedcba9876543210",)"
          R"("scheduledStart":"2026-12-09T10:15:00.000+03:00",)"
          R"("scheduledEnd":"2026-12-09T10:15:30.000+03:00",)"
          R"("start":"2026-12-09T10:15:00.250+03:00","end":"2026-12-09T10:15:30.000+03:00",)"
          R"("outcome":"played","placeholder":false})";
    if (replace)
        line.replace(replace, with);
    return line;
}

} // namespace

// The table of the parser's comment, row by row.
TEST(ReadoutLine, ReadsTheLinesOfTheTable)
{
    const PlayLine play { ledger,
        { 7, QStringLiteral("Утро"), "a.mp4", "https://x.example/a", "0123456789abcdef",
            "fedcba9876543210", fromIsoWithOffset("2026-12-09T10:15:00.000+03:00"),
            fromIsoWithOffset("2026-12-09T10:15:30.000+03:00"),
            fromIsoWithOffset("2026-12-09T10:15:00.250+03:00"),
            fromIsoWithOffset("2026-12-09T10:15:30.000+03:00"), Outcome::played, false } };
    // A placeholder outside the delivery carries no checksums.
    PlayLine unlisted = play;
    unlisted.record.checksum.clear();
    unlisted.record.delivery.clear();
    unlisted.record.placeholder = true;
    struct Case
    {
        QByteArray line;
        std::optional<ReadoutLine> expected;
    };
    const Case cases[] = {
        { R"({"type":"ledger","ledger":")" + ledger.toLatin1() + R"(","last":9,"acked":4})",
            LedgerLine { ledger, 9, 4 } },
        { playLine(), play },
        { R"({"type":"gap","from":3,"to":5,"count":3,"reason":"full","new":1})",
            Gap { 3, 5, Gap::Reason::full } },
        { R"({"type":"end","more":false})", EndLine { false } },
        { R"({"type":"acked","ledger":")" + ledger.toLatin1() + R"(","acked":7})",
            AckedLine { ledger, 7 } },
        { playLine("\"seq\":7", "\"seq\":0"), std::nullopt },
        { playLine("\"seq\":7", "\"seq\":7.5"), std::nullopt },
        { playLine("\"seq\":7", "\"seq\":\"7\""), std::nullopt },
        { R"({"type":"gap","from":3,"to":5,"count":2,"reason":"full"})", std::nullopt },
        { R"({"type":"gap","from":5,"to":3,"count":-1,"reason":"full"})", std::nullopt },
        { playLine("00.250+03:00", "00.250Z"), std::nullopt },
        { playLine("10:15:00.250", "10:15:00"), std::nullopt },
        { playLine("0123456789abcdef", "0123456789ABCDEF"), std::nullopt },
        { playLine("\"played\"", "\"skipped\""), std::nullopt },
        { playLine("\"0123456789abcdef\",\"delivery\":\"fedcba9876543210\",", "\"\",\"delivery\":\"\",")
                .replace("\"placeholder\":false", "\"placeholder\":true"),
            unlisted },
        { playLine("0123456789abcdef", "0123456789abcde"), std::nullopt },
        { playLine("+03:00\",\"end", "+3:00\",\"end"), std::nullopt },
        { playLine("\"placeholder\":false", "\"placeholder\":0"), std::nullopt },
        { playLine("0b6c1c2e-", "0B6C1C2E-"), std::nullopt },
        { playLine(",\"url\":\"https://x.example/a\"", ""), std::nullopt },
        { R"({"type":"ledger","ledger":")" + ledger.toLatin1() + R"(","last":3,"acked":4})",
            std::nullopt },
        { R"({"type":"stats"})", std::nullopt },
        { R"({"type":"end","more":false)", std::nullopt },
        { "", std::nullopt },
    };
    for (const Case& c : cases) {
        QString error;
        const std::optional<ReadoutLine> parsed = parseReadoutLine(c.line, &error);
        EXPECT_EQ(parsed, c.expected) << c.line.constData();
        EXPECT_EQ(error.isEmpty(), c.expected.has_value()) << c.line.constData();
        // What is read is written back as a line that reads the same.
        if (parsed) {
            EXPECT_EQ(parseReadoutLine(formatReadoutLine(*parsed)), parsed);
        }
        // The register writes a play line byte for byte as it came in (members in order).
        if (c.expected && std::holds_alternative<PlayLine>(*c.expected)) {
            EXPECT_EQ(formatReadoutLine(*c.expected), c.line) << c.line.constData();
        }
    }
    // A line beyond the bound is refused whole, however good its start.
    ReadoutLimits limits;
    limits.maxLineBytes = 100;
    EXPECT_FALSE(parseReadoutLine(playLine(), nullptr, limits));
    limits = {};
    limits.maxTextChars = 4;
    EXPECT_FALSE(parseReadoutLine(playLine(), nullptr, limits));
}
