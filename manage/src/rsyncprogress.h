// Internal to vesk-manage, not API.
#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace vesk::manage {

// One report of rsync --info=progress2: bytes so far, percent of the whole transfer, rate, and
// the files done and still to look at when rsync says so.
struct RsyncProgress
{
    qint64 bytes = 0;
    int percent = 0;
    QString rate;
    qint64 transferred = -1;
    qint64 toCheck = -1;
    qint64 total = -1;

    friend bool operator==(const RsyncProgress&, const RsyncProgress&) = default;

    // "media: 67%, 20348931 bytes at 19.18MB/s, 2 files sent, 3 of 5 to check".
    QString text() const;
};

// Turns rsync's progress output, in whatever pieces it arrives, into reports. A report ends with
// a carriage return (rsync redraws its line) or a line feed:
//   "  32,768   0%    0.00kB/s    0:00:00  \r"                  -> 32768, 0 %, 0.00kB/s
//   "  20,348,931  67%   19.18MB/s    0:00:00 (xfr#1, to-chk=3/5)\r"
//                                                              -> 20348931, 67 %, 1 sent, 3 of 5
//   "  1.234.567 100%  1,00MB/s ... (xfr#2, ir-chk=10/20)\n"   -> 1234567 (any grouping), 2, 10/20
//   "sending incremental file list\n", ""                       -> nothing
// A piece without an end is kept for the next call, up to 4 KiB.
class RsyncProgressReader
{
public:
    // The last report completed by `piece`, if any.
    std::optional<RsyncProgress> feed(const QByteArray& piece);

    static std::optional<RsyncProgress> parse(const QByteArray& report);

private:
    QByteArray m_partial;
};

} // namespace vesk::manage
