// Feeds arbitrary bytes to the playlist.ini parser and schedules what comes out, checking the
// promises the stream engine relies on.
#include <vesk/log.h>
#include <vesk/playlist.h>

#include <QBuffer>

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool quiet = [] {
        vesk::log::Manager::setLogLevel(vesk::log::Level::off);
        return true;
    }();
    (void)quiet;

    QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    vesk::PlaylistParser parser;
    parser.parse(&buffer);

    vesk::Generator generator;
    generator.setPlaylists(parser.playlists());
    // The instants come from the input too, so that the fuzzer can steer them.
    quint64 seed = 1469598103934665603ULL;
    for (char c : bytes) {
        seed = (seed ^ quint8(c)) * 1099511628211ULL;
    }
    QDateTime t = QDateTime(QDate(2026, 1, 1), QTime(0, 0)).addSecs(qint64(seed % (400LL * 86400)));
    for (int i = 0; i < 64; ++i) {
        const vesk::Generator::Item item = generator.next(t);
        if (item.start > t || item.end < t || (item.end == t && item.start != t)) {
            std::abort();
        }
        if (item.file && item.start.secsTo(item.end) > item.file->timeplay.count()) {
            std::abort();
        }
        t = item.end;
    }
    return 0;
}
