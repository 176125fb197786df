#include "listener.h"

#include <gtest/gtest.h>

using vesk::detail::Listener;
using vesk::detail::PendingConnection;

// Mirrors the table above Listener::scan; every case is also fed one byte at a time, as a
// trickling peer sends it, which must come to the same verdict.
TEST(Listener, ScanFindsTheEndOfAHead)
{
    vesk::HttpLimits limits;
    limits.maxLineBytes = 16;
    limits.maxHeadBytes = 40;
    const struct
    {
        QByteArray bytes;
        Listener::Scan scan;
    } cases[] = {
        { "GET / HTTP/1.1\r\n\r\n", Listener::Scan::complete },
        { "GET / HTTP/1.1\n\n", Listener::Scan::complete },
        { "GET / HTTP/1.1\r\nHost: x", Listener::Scan::incomplete },
        { "GET / HTTP/1.1\r\nHost: x\r\n", Listener::Scan::incomplete },
        { "\r\n", Listener::Scan::complete },
        { "GET / HTTP/1.1\r\n" + QByteArray(15, 'x') + "\r\n\r\n", Listener::Scan::tooLarge },
        { QByteArray(16, 'x'), Listener::Scan::tooLarge },
        { QByteArray(15, 'x'), Listener::Scan::incomplete },
        { "A: 1234567890\r\nB: 1234567890\r\nC: 1234567890\r\n", Listener::Scan::tooLarge },
    };
    for (const auto& c : cases) {
        PendingConnection whole;
        whole.received = c.bytes;
        EXPECT_EQ(Listener::scan(whole, limits), c.scan) << c.bytes.constData();

        PendingConnection trickled;
        Listener::Scan scan = Listener::Scan::incomplete;
        for (char byte : c.bytes) {
            trickled.received += byte;
            scan = Listener::scan(trickled, limits);
            if (scan != Listener::Scan::incomplete)
                break;
        }
        EXPECT_EQ(scan, c.scan) << c.bytes.constData();
    }
}
