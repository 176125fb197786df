// The beats of a synthetic fleet for `vesk-manage listen`, for the figure of how many registers
// one listener holds. Each synthetic register is paired in manage's state as `pair` keeps a
// pairing, and its beats are sealed as a register seals them (the same AES-GCM layout and
// plaintext, the utility library's sealing), each later than the one before so none is a replay.
//
//   vesk_listen_load pair STATE_DIR COUNT
//       writes COUNT pairings, load-0 ... load-(COUNT-1), into STATE_DIR
//   vesk_listen_load send STATE_DIR PORT RATE SECONDS
//       sends RATE beats a second for SECONDS to 127.0.0.1:PORT, round-robin over the pairings,
//       and prints how many went out
//
// Not a pass/fail test: its numbers are read by bench/listen_figure.py.

#include "registerstate.h"

#include <vesk/protocol/heartbeat.h>
#include <vesk/ssl/crypto.h>
#include <vesk/ssl/sharedkey.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QTimeZone>

#include <chrono>
#include <cstdio>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace vesk;
using namespace vesk::manage;

namespace {

int pairAll(const QString& directory, int count)
{
    const StateStore store(directory);
    for (int i = 0; i < count; ++i) {
        RegisterState state;
        state.name = QStringLiteral("load-%1").arg(i);
        state.address = QHostAddress(QStringLiteral("10.77.%1.%2").arg(i / 250).arg(i % 250 + 1));
        state.port = 49152;
        state.token = QUuid::createUuid();
        state.sharedKey = QByteArray(32, Qt::Uninitialized);
        QRandomGenerator::system()->generate(state.sharedKey.begin(), state.sharedKey.end());
        state.catalog = QStringLiteral("/var/lib/morlen-vesk/sync_dir");
        state.sshKey = QStringLiteral("/nonexistent/key");
        state.heartbeat = QStringLiteral("127.0.0.1:5000");
        state.paired = QDateTime::currentDateTime();
        store.save(state);
    }
    std::printf("paired %d\n", count);
    return 0;
}

// One beat, sealed by the register's own sealing.
QByteArray seal(const RegisterState& state, const ssl::SharedKey& key, const QDateTime& time)
{
    return protocol::heartbeat::seal(state.token.toRfc4122(), key.bytes(), time);
}

int sendBeats(const QString& directory, quint16 port, int rate, int seconds)
{
    QStringList problems;
    const QList<RegisterState> states = StateStore(directory).loadAll(problems);
    if (states.isEmpty()) {
        std::fprintf(stderr, "no pairings in %s\n", qPrintable(directory));
        return 2;
    }
    QList<ssl::SharedKey> keys;
    for (const RegisterState& state : states) {
        keys.append(ssl::SharedKey {});
        keys.back().trySetKey(state.sharedKey);
    }
    // Sealed ahead, so the pace is the sender's sending and not its sealing; a millisecond later
    // each round, so no beat replays the one before.
    const qint64 total = qint64(rate) * seconds;
    const QDateTime start = QDateTime::currentDateTime();
    QList<QByteArray> beats;
    beats.reserve(total);
    for (qint64 n = 0; n < total; ++n) {
        const qsizetype i = qsizetype(n % states.size());
        beats.append(seal(states[i], keys[i], start.addMSecs(n / states.size() + 1)));
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    using Clock = std::chrono::steady_clock;
    const Clock::time_point begin = Clock::now();
    qint64 sent = 0;
    for (qint64 n = 0; n < total; ++n) {
        // Paced in steps of a millisecond's worth, so a high rate is not one burst.
        const auto due = begin + std::chrono::nanoseconds(n * 1000000000LL / rate);
        if (Clock::now() < due)
            std::this_thread::sleep_until(due);
        const QByteArray& beat = beats[n];
        if (::sendto(fd, beat.constData(), size_t(beat.size()), 0,
                reinterpret_cast<const sockaddr*>(&to), sizeof to)
            == beat.size())
            ++sent;
    }
    const double took = std::chrono::duration<double>(Clock::now() - begin).count();
    ::close(fd);
    std::printf("sent %lld in %.3f s\n", static_cast<long long>(sent), took);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList a = app.arguments();
    if (a.size() == 4 && a[1] == u"pair")
        return pairAll(a[2], a[3].toInt());
    if (a.size() == 6 && a[1] == u"send")
        return sendBeats(a[2], quint16(a[3].toUInt()), a[4].toInt(), a[5].toInt());
    std::fputs("usage: vesk_listen_load pair STATE_DIR COUNT | send STATE_DIR PORT RATE SECONDS\n",
        stderr);
    return 2;
}
