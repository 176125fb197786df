#include <vesk/httperror.h>
#include <vesk/httpserver.h>

#include "addresstext.h"
#include "admission.h"
#include "answertally.h"
#include "listener.h"
#include "logthrottle.h"
#include "socketdevice.h"

#include <vesk/log.h>

#include <QBuffer>
#include <QScopeGuard>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>

namespace vesk {

namespace {

using log::Level;

// Connections that completed their handshake but were not taken yet (a burst, or a pause while
// the process is out of descriptors); a short queue would make further clients' SYNs be dropped
// and retried seconds later.
constexpr int listenBacklog = 128;

QString systemError()
{
    const QString text = QString::fromLocal8Bit(std::strerror(errno));
    errno = 0;
    return text;
}

HttpError bareError(int status, const QByteArray& text)
{
    return HttpError(status, text, {}, "plain/text");
}

const QByteArray& busy()
{
    static const QByteArray answer = bareError(503, "Service Unavailable").toByteArray();
    return answer;
}

// Answers that fit into the empty send buffer of a new connection, sent without waiting.
void sendAtOnce(int descriptor, const QByteArray& answer)
{
    [[maybe_unused]] const ssize_t sent
        = ::send(descriptor, answer.constData(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

using detail::AddressText;

} // namespace

struct HttpServer::Exchange
{
    // The bytes that came behind the head are still in connection.received.
    detail::PendingConnection connection;
    // Set when the head is a request that a route wants.
    std::optional<HttpRequest> request;
    const Route* route = nullptr;
    // Otherwise the answer, decided without a handler.
    std::optional<HttpResponse> answer;
};

HttpServer::HttpServer(QObject* parent)
    : HttpServer(HttpLimits {}, parent)
{
}

HttpServer::HttpServer(const HttpLimits& limits, QObject* parent)
    : QObject(parent)
    , m_limits(limits)
    , m_pool(new QThreadPool)
    , m_logger(log::Manager::logger("vesk.server"))
    , m_admission(
          std::make_unique<detail::Admission>(limits.maxConnections, limits.maxConnectionsPerPeer))
    , m_tally(std::make_unique<detail::AnswerTally>())
    , m_connectionLog(
          std::make_unique<detail::LogThrottle>(m_logger, limits.logBurst, limits.logWindow))
    , m_acceptLog(std::make_unique<detail::LogThrottle>(m_logger, 1, limits.logWindow))
{
    m_pool->setMaxThreadCount(limits.workers);
}

HttpServer::~HttpServer()
{
    close();
    // The workers still use the routes, the limits and the logger of this server.
    if (m_pool) {
        m_pool->waitForDone();
        delete m_pool;
    }
    // Whatever was held back is told before the server goes.
    const auto end = Clock::now() + m_limits.logWindow;
    m_connectionLog->flush(end);
    m_acceptLog->flush(end);
}

bool HttpServer::listen(const QHostAddress& address, quint16 port)
{
    close();
    m_logger->info("creating new listener at %1 with port %2", address.toString(), port);

    // Non-blocking, so that a connection that went away between the wake-up and accept cannot
    // block the listener.
    const int descriptor = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (descriptor < 0) {
        m_logger->error("cannot create socket: %1", systemError());
        return false;
    }
    const auto fail = [descriptor] {
        ::close(descriptor);
        return false;
    };

    // The server closes every connection itself, so they linger in TIME_WAIT on this port; a
    // restarted service must still be able to bind it. A port that another socket listens on
    // still fails to bind.
    const int reuse = 1;
    if (::setsockopt(descriptor, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) != 0) {
        m_logger->error("cannot set socket option: %1", systemError());
        return fail();
    }

    bool isIPv4 = false;
    const quint32 ip = address.toIPv4Address(&isIPv4);
    sockaddr_in socketAddress {};
    socketAddress.sin_family = AF_INET;
    socketAddress.sin_port = htons(port);
    socketAddress.sin_addr.s_addr = htonl(isIPv4 ? ip : INADDR_ANY);
    if (::bind(descriptor, reinterpret_cast<const sockaddr*>(&socketAddress), sizeof socketAddress)
        != 0) {
        m_logger->error("cannot bind socket address: %1", systemError());
        return fail();
    }

    if (::listen(descriptor, listenBacklog) != 0) {
        m_logger->error("cannot start listenting socket: %1", systemError());
        return fail();
    }

    const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) {
        m_logger->error("cannot start listenting socket: %1", systemError());
        return fail();
    }
    m_listener = std::make_unique<detail::Listener>(descriptor, wake, m_limits, *m_admission,
        *m_connectionLog, *m_acceptLog,
        detail::Listener::Callbacks {
            [this](int refused, quint32 peer, detail::Admission::Verdict verdict,
                Clock::time_point now) {
                onRefused(
                    refused, peer, verdict == detail::Admission::Verdict::tooManyFromPeer, now);
            },
            [this](detail::PendingConnection&& connection, detail::HeadEnd end) {
                onHeadEnded(std::move(connection), end);
            } });
    m_logger->info("listening...");
    return true;
}

HttpServer::Tally HttpServer::tally() const
{
    return { m_tally->answeredByStatus(), m_tally->droppedCount() };
}

void HttpServer::close()
{
    m_logger->info("stopping listener");
    m_listener.reset();
}

void HttpServer::addRoute(const QRegularExpression& pattern, Handler handler, PeerFilter allowed)
{
    m_routes.append({ pattern, std::move(handler), std::move(allowed) });
}

void HttpServer::onRefused(int descriptor, quint32 peer, bool overPeerShare, Clock::time_point now)
{
    // Never queued: a peer (or all of them) over the limit gets its answer at once, and costs no
    // worker and no descriptor beyond this moment.
    sendAtOnce(descriptor, busy());
    ::close(descriptor);
    m_tally->answered(503);
    if (overPeerShare)
        m_connectionLog->log(Level::warn, now,
            "connection from %1 refused: %2 connections from that address are open",
            AddressText(peer).text, m_limits.maxConnectionsPerPeer);
    else
        m_connectionLog->log(Level::warn, now,
            "connection from %1 refused: %2 connections are open", AddressText(peer).text,
            m_limits.maxConnections);
}

void HttpServer::onHeadEnded(detail::PendingConnection&& connection, detail::HeadEnd end)
{
    using detail::HeadEnd;
    switch (end) {
    case HeadEnd::complete:
        onHead(std::move(connection));
        return;
    case HeadEnd::tooLarge:
        refuseHead(std::move(connection));
        return;
    case HeadEnd::peerGone:
    case HeadEnd::silent:
        m_connectionLog->log(Level::error, Clock::now(),
            "data from connection %1 is not a http request", connection.descriptor);
        break;
    case HeadEnd::deadlineMissed:
        m_connectionLog->log(Level::error, Clock::now(),
            "connection %1 missed the deadline of its request and is dropped",
            connection.descriptor);
        break;
    case HeadEnd::evicted: {
        m_connectionLog->log(Level::warn, Clock::now(),
            "connection %1 from %2 evicted: its head was the oldest incomplete one when all %3 "
            "connections were taken",
            connection.descriptor, AddressText(connection.peer).text, m_limits.maxConnections);
        sendAtOnce(connection.descriptor, busy());
        m_tally->answered(503);
        release(connection);
        return;
    }
    case HeadEnd::stopped:
        release(connection);
        return;
    }
    m_tally->dropped();
    release(connection);
}

std::optional<HttpRequest> HttpServer::readHead(
    QByteArray& received, HttpRequest::ParseError& error) const
{
    QBuffer head(&received);
    head.open(QIODevice::ReadOnly);
    std::optional<HttpRequest> request = HttpRequest::parse(&head, m_limits, &error);
    if (request) {
        request->m_device = nullptr;
        received.remove(0, qsizetype(head.pos()));
    }
    return request;
}

void HttpServer::onHead(detail::PendingConnection&& connection)
{
    const int descriptor = connection.descriptor;
    HttpRequest::ParseError parseError = HttpRequest::ParseError::notRequest;
    std::optional<HttpRequest> request = readHead(connection.received, parseError);
    if (!request && parseError == HttpRequest::ParseError::headTooLarge) {
        refuseHead(std::move(connection));
        return;
    }
    if (!request) {
        m_connectionLog->log(Level::error, Clock::now(),
            "data from connection %1 is not a http request", descriptor);
        m_tally->dropped();
        release(connection);
        return;
    }

    Exchange exchange;
    bool inputBehind = !connection.received.isEmpty();
    if (const QString key = QString::fromUtf8(request->method() + ' ' + request->path());
        (exchange.route = route(key))) {
        exchange.request = std::move(request);
    } else {
        m_connectionLog->log(Level::error, Clock::now(),
            "requested path %1 from connection %2 is not found", key, descriptor);
        exchange.answer = bareError(404, "Not Found");
        inputBehind = inputBehind || request->header("content-length").toLongLong() > 0;
        // A head that asks for nothing a handler does, and leaves nothing unread behind it, is
        // answered here and now: no worker is woken for the scanners and the mistyped paths of
        // the shop network.
        if (!inputBehind) {
            static const QByteArray notFound = exchange.answer->toByteArray();
            sendAtOnce(descriptor, notFound);
            m_tally->answered(404);
            release(connection);
            return;
        }
    }
    exchange.connection = std::move(connection);
    handOn(std::move(exchange));
}

void HttpServer::refuseHead(detail::PendingConnection&& connection)
{
    m_connectionLog->log(Level::error, Clock::now(), "request head from connection %1 is too large",
        connection.descriptor);
    // On a worker, which drains what the peer still sends, so that the answer is not reset away.
    Exchange exchange;
    exchange.connection = std::move(connection);
    exchange.answer = bareError(431, "Request Header Fields Too Large");
    handOn(std::move(exchange));
}

void HttpServer::handOn(Exchange&& exchange)
{
    m_pool->start([this, exchange = std::move(exchange)]() mutable { serve(exchange); });
}

void HttpServer::release(detail::PendingConnection& connection)
{
    m_admission->release(connection.peer);
    ::close(connection.descriptor);
}

void HttpServer::serve(Exchange& exchange)
{
    const detail::PendingConnection& connection = exchange.connection;
    const int descriptor = connection.descriptor;
    m_connectionLog->log(Level::info, Clock::now(), "thread started for connection %1", descriptor);
    detail::SocketDevice device(descriptor, m_limits,
        QDeadlineTimer(connection.deadline, Qt::PreciseTimer), connection.received);
    // The connection counts until the moment it is closed (the device's end, right after this).
    const auto stopped = qScopeGuard([this, &connection] {
        m_admission->release(connection.peer);
        m_connectionLog->log(
            Level::info, Clock::now(), "thread stopped for connection %1", connection.descriptor);
    });

    try {
        HttpResponse response;
        if (exchange.request) {
            exchange.request->m_device = &device;
            response = respond(*exchange.request, *exchange.route, connection.peer, descriptor);
        } else {
            response = *exchange.answer;
        }
        if (device.deadlineMissed()) {
            m_connectionLog->log(Level::error, Clock::now(),
                "connection %1 missed the deadline of its request and is dropped", descriptor);
            m_tally->dropped();
            return;
        }
        response.writeToDevice(&device);
        if (device.writeFailed()) {
            m_connectionLog->log(
                Level::error, Clock::now(), "cannot write response to connection %1", descriptor);
            m_tally->dropped();
            return;
        }
        m_tally->answered(response.statusCode());
        device.finish();
    } catch (...) {
        // Only logging can throw here (an appender's own failure); the connection still closes
        // and the worker carries on with the next one.
    }
}

const HttpServer::Route* HttpServer::route(const QString& key) const
{
    const auto found = std::find_if(m_routes.cbegin(), m_routes.cend(),
        [&key](const Route& entry) { return entry.pattern.match(key).hasMatch(); });
    return found == m_routes.cend() ? nullptr : &*found;
}

HttpResponse HttpServer::respond(
    const HttpRequest& request, const Route& route, quint32 peer, int descriptor)
{
    if (route.allowed && !route.allowed(QHostAddress(peer))) {
        m_connectionLog->log(Level::warn, Clock::now(), "route %1 refused to connection %2 from %3",
            route.pattern.pattern(), descriptor, AddressText(peer).text);
        return bareError(403, "Forbidden");
    }

    m_connectionLog->log(Level::info, Clock::now(),
        "processing handler with route %1 for connection %2", route.pattern.pattern(), descriptor);
    try {
        return route.handler(request);
    } catch (const HttpError& error) {
        m_connectionLog->log(Level::info, Clock::now(),
            "HttpError happened while processing connection %1", descriptor);
        return error;
    } catch (const std::exception& error) {
        m_connectionLog->log(Level::error, Clock::now(),
            "std::exception happened while processing connection %1: %2", descriptor, error.what());
    } catch (...) {
        m_connectionLog->log(Level::error, Clock::now(),
            "unhandled exception happened while processing connection %1", descriptor);
    }
    return bareError(500, "Internal Server Error");
}

} // namespace vesk
