#pragma once

#include <vesk/httplimits.h>
#include <vesk/httprequest.h>
#include <vesk/httpresponse.h>

#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QRegularExpression>
#include <QThreadPool>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace vesk::log {
class Logger;
}

namespace vesk::detail {
class Admission;
class AnswerTally;
class Listener;
class LogThrottle;
struct PendingConnection;
enum class HeadEnd;
} // namespace vesk::detail

namespace vesk {

// Listens on one IPv4 address and port and answers one request per connection, then closes the
// connection (no keep-alive). Connections are accepted, and their heads read, on a thread of the
// server's own that never blocks; a request whose route has a handler is served on a worker of
// the server's thread pool, one that needs none (no route matches) is answered at once.
//
// Routing matches "METHOD path" (path as sent, query string included) against the patterns in
// the order they were added; the first pattern that finds a match anywhere in that text wins, so
// an unanchored pattern also matches a longer path. No match gives a bare 404; a peer that a
// route does not allow gets a bare 403; a thrown HttpError is written as it is; any other
// exception gives a bare 500.
//
// What a peer can make the server hold is bounded by HttpLimits: connections in all and per peer
// address (more are answered with a bare 503 at once; when all are taken, a newcomer takes the
// slot of the oldest connection whose head is still incomplete, which gets the 503), the head's
// lines and bytes (431), and one deadline for head and body together (a peer that misses it is
// dropped without an answer). The log lines that peers cause are throttled and summarised.
//
// Threads: listen, close, addRoute and destruction on the thread that owns the server; it needs
// no event loop. Handlers run on workers, several at once, and must be safe to call
// concurrently. Add every route before listen: the server's threads read the list without a
// lock. The destructor waits for the connections already handed to workers.
class HttpServer : public QObject
{
    Q_OBJECT

public:
    using Handler = std::function<HttpResponse(const HttpRequest&)>;
    // Whether a peer address may use a route; called on a worker.
    using PeerFilter = std::function<bool(const QHostAddress&)>;

    explicit HttpServer(QObject* parent = nullptr);
    explicit HttpServer(const HttpLimits& limits, QObject* parent = nullptr);
    ~HttpServer() override;

    // Stops any earlier listener, then listens on address (0.0.0.0 when it is not IPv4) and
    // port. False, with the reason logged and nothing left listening, when the socket cannot be
    // created, bound or put into listening state; a later listen may be tried.
    bool listen(const QHostAddress& address, quint16 port);
    // Stops listening; connections already accepted run to their end.
    void close();
    // allowed, when given, refuses the route to every peer it returns false for.
    void addRoute(const QRegularExpression& pattern, Handler handler, PeerFilter allowed = {});

    const HttpLimits& limits() const { return m_limits; }

    // What became of the connections since construction: the answers written, by status code
    // (the 503 of a refused or evicted connection included), and the connections closed without an
    // answer (no request, a missed deadline, a peer gone before the answer). Safe from any thread.
    struct Tally
    {
        QMap<int, quint64> answered;
        quint64 dropped = 0;
    };
    Tally tally() const;

private:
    struct Route
    {
        QRegularExpression pattern;
        Handler handler;
        PeerFilter allowed;
    };
    // A connection whose head is in, read once on the listener's thread, for a worker to answer.
    struct Exchange;

    using Clock = std::chrono::steady_clock;

    // On the listener's thread.
    void onRefused(int descriptor, quint32 peer, bool overPeerShare, Clock::time_point now);
    void onHeadEnded(detail::PendingConnection&& connection, detail::HeadEnd end);
    // Reads the complete head; what is left to do goes to a worker, or is done here when it
    // needs neither a handler nor the input behind the head.
    void onHead(detail::PendingConnection&& connection);
    // The request in the head at the start of received, which keeps only the bytes behind it.
    std::optional<HttpRequest> readHead(QByteArray& received, HttpRequest::ParseError& error) const;
    // Answers a head larger than the limits allow with 431.
    void refuseHead(detail::PendingConnection&& connection);
    // To a worker, which runs serve().
    void handOn(Exchange&& exchange);
    // Counts the connection out and closes it.
    void release(detail::PendingConnection& connection);
    // On a worker.
    void serve(Exchange& exchange);
    HttpResponse respond(
        const HttpRequest& request, const Route& route, quint32 peer, int descriptor);
    const Route* route(const QString& key) const;

    const HttpLimits m_limits;
    QPointer<QThreadPool> m_pool;
    std::unique_ptr<detail::Listener> m_listener;
    QList<Route> m_routes;
    log::Logger* m_logger = nullptr;
    std::unique_ptr<detail::Admission> m_admission;
    std::unique_ptr<detail::AnswerTally> m_tally;
    // Lines caused by connections; failures of accept itself have a throttle of their own.
    std::unique_ptr<detail::LogThrottle> m_connectionLog;
    std::unique_ptr<detail::LogThrottle> m_acceptLog;
};

} // namespace vesk
