#include <vesk/log/peertext.h>

#include <gtest/gtest.h>

using vesk::log::peerText;

// Mirrors the table at peerText: nothing a peer sends reaches a log line or a terminal as a
// control, and one text is bounded.
TEST(PeerText, EscapesAndCuts)
{
    const struct
    {
        QString text;
        qsizetype limit;
        QString shown;
    } table[] = {
        { "scp", 200, "scp" },
        { "a\nb\rc\td", 200, "a\\nb\\rc\\td" },
        { QString(QChar(0x1b)) + "[31m" + QChar(0x7f) + QChar(0x85), 200, "\\x1b[31m\\x7f\\x85" },
        { QString(QChar(0x202e)) + QChar(0x2028), 200, "\\u{202e}\\u{2028}" },
        { "x\\y", 200, "x\\\\y" },
        { QString::fromUtf8("ключ Füße"), 200, QString::fromUtf8("ключ Füße") },
        { QString(300, u'x'), 200,
            QString(200, u'x') + QString::fromUtf8("…[cut: 300 characters]") },
        // The cut counts the peer's characters, not the escapes they become.
        { QString(3, QChar(0x1b)), 2, QString::fromUtf8("\\x1b\\x1b…[cut: 3 characters]") },
        { QString(3, u'x'), -1, "xxx" },
    };
    for (const auto& row : table)
        EXPECT_EQ(peerText(row.text, row.limit), row.shown) << row.shown.toStdString();
}
