#pragma once

#include <vesk/httprequest.h>
#include <vesk/httpresponse.h>

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QThreadPool>

#include <functional>
#include <utility>

namespace vesk::log {
class Logger;
}

namespace vesk {

// Listens on one IPv4 address and port and serves each accepted connection on a worker of its
// own thread pool: one request per connection is parsed, routed and answered, then the
// connection is closed (no keep-alive).
//
// Routing matches "METHOD path" (path as sent, query string included) against the patterns in
// the order they were added; the first pattern that finds a match anywhere in that text wins, so
// an unanchored pattern also matches a longer path. No match gives a bare 404; a thrown
// HttpError is written as it is; any other exception gives a bare 500.
//
// Threads: listen, close, addRoute and destruction on the thread that owns the server (it needs
// an event loop to accept). Handlers run on pool workers, several at once, and must be safe to
// call concurrently. Add every route before listen: workers read the list without a lock. The
// destructor waits for the connections already accepted.
class HttpServer : public QObject
{
    Q_OBJECT

public:
    using Handler = std::function<HttpResponse(const HttpRequest&)>;

    explicit HttpServer(QObject* parent = nullptr);
    ~HttpServer() override;

    // Stops any earlier listener, then listens on address (0.0.0.0 when it is not IPv4) and
    // port. False, with the reason logged and nothing left listening, when the socket cannot be
    // created, bound or put into listening state; a later listen may be tried.
    bool listen(const QHostAddress& address, quint16 port);
    // Stops listening; connections already accepted run to their end.
    void close();
    void addRoute(const QRegularExpression& pattern, Handler handler);

private:
    void onPendingConnectionAvailable();
    void acceptConnection(int descriptor);

    QPointer<QThreadPool> m_pool;
    QPointer<QSocketNotifier> m_notifier;
    QList<std::pair<QRegularExpression, Handler>> m_routes;
    log::Logger* m_logger = nullptr;
};

} // namespace vesk
