#include "listen.h"

#include "console.h"
#include "delivery.h"
#include "deliveryrecord.h"
#include "fleetmetrics.h"
#include "fleetpage.h"
#include "hookrunner.h"

#include <vesk/httperror.h>
#include <vesk/httpserver.h>
#include <vesk/protocol/status.h>
#include <vesk/protocol/timetext.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QNetworkDatagram>
#include <QTimer>
#include <QUdpSocket>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <future>

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
// Datagrams taken per turn of the loop: a flood cannot keep the timers (a signal, a register gone
// dark, a scrape) from being seen.
constexpr int datagramsPerTurn = 256;
// How often the loop looks for a stop and for hooks overdue, and for registers gone dark.
constexpr int tickMs = 250;
constexpr qint64 checkMs = 1000;
// Room in the kernel for a burst of beats while the loop is busy (a scrape, a page).
constexpr int receiveBufferBytes = 4 * 1024 * 1024;
// A scrape waits this long for the loop to render it, so a stuck loop cannot hold the server's
// workers, nor its destructor, for longer.
constexpr std::chrono::seconds scrapeWait { 5 };

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

const char* stateText(DarkWatch::State state)
{
    switch (state) {
    case DarkWatch::State::alive:
        return "alive";
    case DarkWatch::State::dark:
        return "dark";
    case DarkWatch::State::waiting:
        break;
    }
    return "waiting";
}

// A scrape answers nothing but GET /metrics: no body, a short head, a few peers at a time.
HttpLimits scrapeLimits()
{
    HttpLimits limits;
    limits.maxLineBytes = 1023;
    limits.maxHeaderLines = 32;
    limits.maxHeadBytes = 8 * 1024;
    limits.maxBodyBytes = 0;
    limits.readWait = std::chrono::milliseconds(2000);
    limits.deadline = std::chrono::milliseconds(5000);
    limits.maxConnections = 8;
    limits.maxConnectionsPerPeer = 4;
    limits.workers = 2;
    return limits;
}

class Listener
{
public:
    explicit Listener(const ListenOptions& options)
        : m_options(options)
        , m_store(options.stateDirectory)
        , m_table(HeartbeatTable::Limits {
              options.beatEvery, HeartbeatTable::Limits {}.maxDatagramBytes })
        , m_watch(options.darkAfter.value_or(3 * options.beatEvery))
        , m_hooks(HookRunner::Limits { options.hookTimeout, 4, 1000 })
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
        m_socket.setSocketOption(
            QAbstractSocket::ReceiveBufferSizeSocketOption, receiveBufferBytes);
        if (m_options.metrics && !serveMetrics())
            return exitTransport;
        reload();
        note(QStringLiteral(
            "listening on UDP port %1 for the heartbeats of %2 paired registers (%3)")
                 .arg(m_options.port)
                 .arg(m_table.rows().size())
                 .arg(m_store.directory()));
        std::signal(SIGINT, onStopSignal);
        std::signal(SIGTERM, onStopSignal);
        QObject::connect(&m_socket, &QUdpSocket::readyRead, &m_context, [this] { receiveTurn(); });
        QTimer ticks;
        QObject::connect(&ticks, &QTimer::timeout, &m_context, [this] { tick(); });
        ticks.start(tickMs);
        m_drawn.start();
        m_pageWritten.start();
        m_checked.start();
        draw();
        writePageNow();
        QCoreApplication::exec();
        return exitDone;
    }

private:
    bool serveMetrics()
    {
        m_server = std::make_unique<HttpServer>(scrapeLimits());
        // Rendered on the loop's thread, the table's one owner; the worker only waits for it.
        m_server->addRoute(QRegularExpression(QStringLiteral("^GET /metrics(\\?.*)?$")),
            [this](const HttpRequest&) {
                auto rendered = std::make_shared<std::promise<QByteArray>>();
                std::future<QByteArray> text = rendered->get_future();
                QMetaObject::invokeMethod(
                    &m_context,
                    [this, rendered] {
                        rendered->set_value(metricsText(
                            m_table, m_watch, m_hooks.counters(), QDateTime::currentDateTime()));
                    },
                    Qt::QueuedConnection);
                if (text.wait_for(scrapeWait) != std::future_status::ready)
                    throw HttpError(503, "Service Unavailable");
                return HttpResponse(text.get(), "text/plain; version=0.0.4; charset=utf-8");
            });
        const auto& [address, port] = *m_options.metrics;
        if (!m_server->listen(address, port)) {
            note(QStringLiteral("cannot serve metrics on %1:%2").arg(address.toString()).arg(port));
            return false;
        }
        return true;
    }

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

    void receiveTurn()
    {
        // One reading of the clock a turn: the local time costs a look at the zone's file, and
        // a turn takes far less than the clock's resolution that matters here.
        const QDateTime now = QDateTime::currentDateTime();
        for (int i = 0; i < datagramsPerTurn && m_socket.hasPendingDatagrams(); ++i)
            receive(now);
        // What is left comes at the next turn, after the timers had theirs: the socket's
        // notifier, enabled again by our reads, fires while datagrams wait.
    }

    void receive(const QDateTime& now)
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
        qsizetype index = -1;
        const bool beat
            = m_table.addDatagram(bytes, from, now, &index) == HeartbeatTable::Verdict::accepted;
        m_news = true;
        if (!beat)
            return;
        const HeartbeatTable::Row& row = m_table.rows()[index];
        if (m_options.json && !m_options.quiet)
            print(beatJson(row, m_table.missed(row, now)));
        if (const std::optional<DarkWatch::Change> change = m_watch.beat(row))
            tell(*change, row);
    }

    void tick()
    {
        if (stopRequested) {
            QCoreApplication::quit();
            return;
        }
        if (m_checked.elapsed() >= checkMs) {
            m_checked.start();
            const QList<DarkWatch::Change> changes
                = m_watch.check(m_table, QDateTime::currentDateTime());
            for (const DarkWatch::Change& change : changes)
                tell(change, m_table.rows()[change.row]);
        }
        m_hooks.tick(HookRunner::Clock::now());
        if (m_drawn.elapsed() >= (m_news ? newsRedrawMs : redrawMs))
            draw();
        if (!m_options.page.isEmpty() && m_pageWritten.elapsed() >= m_options.pageEvery.count())
            writePageNow();
    }

    void tell(const DarkWatch::Change& change, const HeartbeatTable::Row& row)
    {
        m_news = true;
        const bool dark = change.state == DarkWatch::State::dark;
        if (m_options.json)
            print(changeJson(change, row));
        else
            note(dark ? QStringLiteral("%1 is dark: no beat since %2")
                            .arg(row.name, vesk::protocol::wireTime(change.since))
                      : QStringLiteral("%1 is back").arg(row.name));
        m_hooks.run(dark ? m_options.onDark : m_options.onBack, changeEnvironment(change, row),
            HookRunner::Clock::now());
    }

    void print(const QJsonObject& line)
    {
        report(QString::fromUtf8(QJsonDocument(line).toJson(QJsonDocument::Compact)));
    }

    void draw()
    {
        m_drawn.start();
        m_news = false;
        if (m_options.json || m_options.quiet)
            return;
        const QString text = tableText(m_table, m_watch, QDateTime::currentDateTime());
        // A terminal shows the table in place; a log or pipe gets it anew each time.
        std::fputs(((m_terminal ? QStringLiteral("\033[H\033[2J") : QStringLiteral("\n")) + text)
                       .toLocal8Bit()
                       .constData(),
            stdout);
        std::fflush(stdout);
    }

    void writePageNow()
    {
        m_pageWritten.start();
        if (m_options.page.isEmpty())
            return;
        const QString html = pageHtml(m_table, m_watch,
            deliveriesOf(m_table, DeliveryRecords(m_options.stateDirectory)),
            QDateTime::currentDateTime(),
            std::chrono::duration_cast<std::chrono::seconds>(m_options.pageEvery)
                + std::chrono::seconds(1));
        QString error;
        if (!writePage(m_options.page, html, error) && error != m_pageError)
            note(error);
        m_pageError = error;
    }

    const ListenOptions& m_options;
    StateStore m_store;
    HeartbeatTable m_table;
    DarkWatch m_watch;
    // Every connection's context: what the loop runs for the socket, the timers and a scrape.
    QObject m_context;
    HookRunner m_hooks;
    QUdpSocket m_socket;
    std::unique_ptr<HttpServer> m_server;
    QElapsedTimer m_loaded;
    QElapsedTimer m_drawn;
    QElapsedTimer m_pageWritten;
    QElapsedTimer m_checked;
    QStringList m_problems;
    QString m_pageError;
    bool m_terminal;
    // Datagrams came since the table was drawn.
    bool m_news = false;
};

} // namespace

QString tableText(const HeartbeatTable& table, const DarkWatch& watch, const QDateTime& now)
{
    QString text = QStringLiteral("%1 %2 %3 %4 %5 %6 %7 %8\n")
                       .arg(QStringLiteral("REGISTER"), -22)
                       .arg(QStringLiteral("STATE"), -7)
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
            += QStringLiteral("%1 %2 %3 %4 %5 %6 %7 %8\n")
                   .arg(row.name, -22)
                   .arg(QString::fromLatin1(stateText(watch.entry(row.name).state)), -7)
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

QJsonObject changeJson(const DarkWatch::Change& change, const HeartbeatTable::Row& row)
{
    return QJsonObject {
        { "event", change.state == DarkWatch::State::dark ? "dark" : "back" },
        { "register", row.name },
        { "from", row.from },
        { "since", vesk::protocol::wireTime(change.since) },
        { "lastBeat", isoTime(row.received) },
    };
}

QProcessEnvironment changeEnvironment(
    const DarkWatch::Change& change, const HeartbeatTable::Row& row)
{
    QProcessEnvironment environment;
    environment.insert(QStringLiteral("VESK_EVENT"),
        change.state == DarkWatch::State::dark ? QStringLiteral("dark") : QStringLiteral("back"));
    environment.insert(QStringLiteral("VESK_REGISTER"), row.name);
    environment.insert(QStringLiteral("VESK_ADDRESS"), row.from.isEmpty() ? row.api : row.from);
    environment.insert(QStringLiteral("VESK_LAST_BEAT"), isoTime(row.received));
    return environment;
}

int listen(const ListenOptions& options)
{
    return Listener(options).run();
}

} // namespace vesk::manage
