#include "listen.h"

#include "console.h"
#include "delivery.h"

#include <vesk/protocol/status.h>
#include <vesk/protocol/timetext.h>

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QNetworkDatagram>
#include <QUdpSocket>

#include <atomic>
#include <csignal>
#include <cstdio>

#include <unistd.h>

namespace vesk::manage {

namespace {

std::atomic<bool> stopRequested { false };

void onStopSignal(int)
{
    stopRequested = true;
}

// A register paired while we listen is found at its first beat; a flood of strangers' tokens
// makes us read the directory at most this often.
constexpr qint64 reloadAfterMs = 1000;
// The table changes by itself (the time since the last beat); it is drawn again this often, and
// after news at most once a second, so that a flood of datagrams does not flood the output.
constexpr qint64 redrawMs = 5000;
constexpr qint64 newsRedrawMs = 1000;
// Datagrams taken per turn of the loop: a flood cannot keep a signal from being seen.
constexpr int datagramsPerTurn = 256;

// Local time with milliseconds and the offset, as the register writes its own.
QString isoTime(const std::optional<QDateTime>& time)
{
    return time ? vesk::protocol::wireTime(*time) : QString();
}

QString offsetText(std::optional<qint64> ms)
{
    if (!ms)
        return QStringLiteral("-");
    return QStringLiteral("%1%2 s")
        .arg(QChar(*ms < 0 ? u'-' : u'+'))
        .arg(std::abs(*ms) / 1000.0, 0, 'f', 3);
}

class Listener
{
public:
    explicit Listener(const ListenOptions& options)
        : m_options(options)
        , m_store(options.stateDirectory)
        , m_table(HeartbeatTable::Limits {})
        , m_terminal(::isatty(STDOUT_FILENO) == 1)
    {
    }

    int run()
    {
        if (!m_socket.bind(QHostAddress::AnyIPv4, m_options.port))
            return fail(exitTransport,
                QStringLiteral("cannot listen on UDP port %1: %2")
                    .arg(m_options.port)
                    .arg(m_socket.errorString()));
        reload();
        note(QStringLiteral(
            "listening on UDP port %1 for the heartbeats of %2 paired registers (%3)")
                 .arg(m_options.port)
                 .arg(m_table.rows().size())
                 .arg(m_store.directory()));
        std::signal(SIGINT, onStopSignal);
        std::signal(SIGTERM, onStopSignal);
        draw();
        while (!stopRequested) {
            m_socket.waitForReadyRead(1000);
            for (int i = 0; i < datagramsPerTurn && m_socket.hasPendingDatagrams(); ++i)
                receive();
            if (m_drawn.elapsed() >= (m_news ? newsRedrawMs : redrawMs))
                draw();
        }
        return exitDone;
    }

private:
    void reload()
    {
        QStringList problems;
        m_table.setRegisters(m_store.loadAll(problems), QDateTime::currentDateTime());
        for (const QString& problem : problems)
            if (!m_problems.contains(problem)) {
                note(problem);
                m_problems.append(problem);
            }
        m_loaded.start();
    }

    void receive()
    {
        const qint64 size = m_socket.pendingDatagramSize();
        // Anything larger than a beat is read only far enough to be told apart from one.
        const QNetworkDatagram datagram = m_socket.receiveDatagram(
            std::min<qint64>(size, HeartbeatTable::Limits {}.maxDatagramBytes + 1));
        if (!datagram.isValid())
            return;
        const QByteArray bytes = datagram.data();
        if (!m_table.knowsToken(bytes) && m_loaded.elapsed() >= reloadAfterMs)
            reload();
        const QString from = QStringLiteral("%1:%2")
                                 .arg(datagram.senderAddress().toString())
                                 .arg(datagram.senderPort());
        const QDateTime now = QDateTime::currentDateTime();
        qsizetype index = -1;
        const bool beat
            = m_table.addDatagram(bytes, from, now, &index) == HeartbeatTable::Verdict::accepted;
        m_news = true;
        if (m_options.json && beat) {
            const HeartbeatTable::Row& row = m_table.rows()[index];
            report(QString::fromUtf8(QJsonDocument(beatJson(row, m_table.missed(row, now)))
                                         .toJson(QJsonDocument::Compact)));
        }
    }

    void draw()
    {
        m_drawn.start();
        m_news = false;
        if (m_options.json)
            return;
        const QString text = tableText(m_table, QDateTime::currentDateTime());
        // A terminal shows the table in place; a log or pipe gets it anew each time.
        std::fputs(((m_terminal ? QStringLiteral("\033[H\033[2J") : QStringLiteral("\n")) + text)
                       .toLocal8Bit()
                       .constData(),
            stdout);
        std::fflush(stdout);
    }

    const ListenOptions& m_options;
    StateStore m_store;
    HeartbeatTable m_table;
    QUdpSocket m_socket;
    QElapsedTimer m_loaded;
    QElapsedTimer m_drawn;
    QStringList m_problems;
    bool m_terminal;
    // Datagrams came since the table was drawn.
    bool m_news = false;
};

} // namespace

QString tableText(const HeartbeatTable& table, const QDateTime& now)
{
    QString text = QStringLiteral("%1 %2 %3 %4 %5 %6 %7\n")
                       .arg(QStringLiteral("REGISTER"), -22)
                       .arg(QStringLiteral("FROM"), -21)
                       .arg(QStringLiteral("LAST BEAT"), -19)
                       .arg(QStringLiteral("AGO"), 7)
                       .arg(QStringLiteral("CLOCK"), 10)
                       .arg(QStringLiteral("BEATS"), 6)
                       .arg(QStringLiteral("MISSED"), 6);
    for (const HeartbeatTable::Row& row : table.rows()) {
        const QString ago = row.received ? QStringLiteral("%1 s").arg(row.received->secsTo(now))
                                         : QStringLiteral("-");
        text
            += QStringLiteral("%1 %2 %3 %4 %5 %6 %7\n")
                   .arg(row.name, -22)
                   .arg(row.from.isEmpty() ? QStringLiteral("-") : row.from, -21)
                   .arg(row.received ? row.received->toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                                     : QStringLiteral("no beat yet"),
                       -19)
                   .arg(ago, 7)
                   .arg(offsetText(row.clockOffsetMs()), 10)
                   .arg(row.beats, 6)
                   .arg(table.missed(row, now), 6);
    }
    const HeartbeatTable::Counters& c = table.counters();
    text += QStringLiteral("datagrams: %1 beats; refused %2 unknown token, %3 forged, %4 replayed, "
                           "%5 malformed, %6 oversized\n")
                .arg(c.accepted)
                .arg(c.unknown)
                .arg(c.forged)
                .arg(c.replayed)
                .arg(c.malformed)
                .arg(c.oversized);
    return text;
}

QJsonObject beatJson(const HeartbeatTable::Row& row, quint64 missed)
{
    return QJsonObject {
        { "register", row.name },
        { "from", row.from },
        { "received", isoTime(row.received) },
        { "registerTime", isoTime(row.registerTime) },
        { "clockOffsetMs", row.clockOffsetMs() ? QJsonValue(*row.clockOffsetMs()) : QJsonValue() },
        { "beats", qint64(row.beats) },
        { "missed", qint64(missed) },
    };
}

int listen(const ListenOptions& options)
{
    return Listener(options).run();
}

} // namespace vesk::manage
