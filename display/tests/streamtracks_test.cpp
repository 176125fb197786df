#include "streamtracks.h"

#include <gtest/gtest.h>

using vesk::display::StreamTracks;

// Mirrors the table at StreamTracks::printable: the register's texts cannot break a line of
// fields or reach the terminal as control characters.
TEST(StreamTracks, PrintableTexts)
{
    struct Case
    {
        QString text;
        QByteArray printed;
    };
    for (const Case& c : std::initializer_list<Case> {
             { "clips/a.mp4", "clips/a.mp4" },
             { "2026-03-02T10:00:00.000+03:00", "2026-03-02T10:00:00.000+03:00" },
             { QString::fromUtf8("Реклама 1.mp4"), QString::fromUtf8("Реклама%201.mp4").toUtf8() },
             { "a\nb%", "a%0Ab%25" },
             { QString(QChar(0x1b)) + "[2J", "%1B[2J" },
             { QString(QChar(0x9b)) + "2J", "%C2%9B2J" },
             { "", "" },
         })
        EXPECT_EQ(StreamTracks::printable(c.text), c.printed) << c.text.toStdString();
}
