#include <vesk/httperror.h>
#include <vesk/httpserver.h>

#include "admission.h"
#include "answertally.h"
#include "listener.h"
#include "logthrottle.h"
#include "socketdevice.h"

#include <vesk/log.h>

#include <QBuffer>
#include <QScopeGuard>

#include <arpa/inet.h>
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

// The dotted form of an IPv4 address in host byte order, for log lines.
struct AddressText
{
    explicit AddressText(quint32 address)
    {
        const in_addr network { htonl(address) };
        ::inet_ntop(AF_INET, &network, text, sizeof text);
    }
    char text[INET_ADDRSTRLEN] {};
};

HttpError bareError(int status, const QByteArray& text)
{
    return HttpError(status, text, {}, "plain/text");
}

// Answers that fit into the empty send buffer of a new connection, sent without waiting.
void sendAtOnce(int descriptor, const QByteArray& answer)
{
    [[maybe_unused]] const ssize_t sent
        = ::send(descriptor, answer.constData(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

} // namespace

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
    m_listener = std::make_unique<detail::Listener>(descriptor, wake, m_limits, *m_connectionLog,
        *m_acceptLog,
        detail::Listener::Callbacks { [this](int accepted, quint32 peer, Clock::time_point now) {
                                         return onAccepted(accepted, peer, now);
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

bool HttpServer::onAccepted(int descriptor, quint32 peer, Clock::time_point now)
{
    const detail::Admission::Verdict verdict = m_admission->admit(peer);
    if (verdict == detail::Admission::Verdict::admitted) {
        if (m_logger->isLevelEnabled(Level::info))
            m_connectionLog->log(Level::info, now,
                "starting thread for accepted connection %1 from %2 ...", descriptor,
                AddressText(peer).text);
        return true;
    }
    // Never queued: a peer (or all of them) over the limit gets its answer at once, and costs no
    // worker and no descriptor beyond this moment.
    static const QByteArray busy = bareError(503, "Service Unavailable").toByteArray();
    sendAtOnce(descriptor, busy);
    ::close(descriptor);
    m_tally->answered(503);
    if (verdict == detail::Admission::Verdict::tooManyFromPeer)
        m_connectionLog->log(Level::warn, now,
            "connection from %1 refused: %2 connections from that address are open",
            AddressText(peer).text, m_limits.maxConnectionsPerPeer);
    else
        m_connectionLog->log(Level::warn, now,
            "connection from %1 refused: %2 connections are open", AddressText(peer).text,
            m_limits.maxConnections);
    return false;
}

void HttpServer::onHeadEnded(detail::PendingConnection&& connection, detail::HeadEnd end)
{
    using detail::HeadEnd;
    switch (end) {
    case HeadEnd::complete:
        if (answerWithoutWorker(connection))
            return;
        [[fallthrough]];
    case HeadEnd::tooLarge:
        m_pool->start([this, connection = std::move(connection)] { serve(connection); });
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
    case HeadEnd::stopped:
        release(connection);
        return;
    }
    m_tally->dropped();
    release(connection);
}

// A head that asks for nothing a handler does (no route matches, or it is no request at all),
// and leaves nothing unread behind it, is answered here and now: no worker is woken for the
// scanners, the mistyped paths and the empty connections of the shop network.
bool HttpServer::answerWithoutWorker(detail::PendingConnection& connection)
{
    QBuffer head(&connection.received);
    head.open(QIODevice::ReadOnly);
    HttpRequest::ParseError parseError = HttpRequest::ParseError::notRequest;
    const std::optional<HttpRequest> request = HttpRequest::parse(&head, m_limits, &parseError);
    if (!request) {
        if (parseError == HttpRequest::ParseError::headTooLarge)
            return false;
        m_connectionLog->log(Level::error, Clock::now(),
            "data from connection %1 is not a http request", connection.descriptor);
        m_tally->dropped();
        release(connection);
        return true;
    }
    const QString key = QString::fromUtf8(request->method() + ' ' + request->path());
    if (route(key) || head.bytesAvailable() > 0
        || request->header("content-length").toLongLong() > 0)
        return false;
    m_connectionLog->log(Level::error, Clock::now(),
        "requested path %1 from connection %2 is not found", key, connection.descriptor);
    static const QByteArray notFound = bareError(404, "Not Found").toByteArray();
    sendAtOnce(connection.descriptor, notFound);
    m_tally->answered(404);
    release(connection);
    return true;
}

void HttpServer::release(detail::PendingConnection& connection)
{
    m_admission->release(connection.peer);
    ::close(connection.descriptor);
}

void HttpServer::serve(const detail::PendingConnection& connection)
{
    const int descriptor = connection.descriptor;
    m_connectionLog->log(Level::info, Clock::now(), "thread started for connection %1", descriptor);
    detail::SocketDevice device(descriptor, m_limits,
        QDeadlineTimer(connection.acceptedAt + m_limits.deadline, Qt::PreciseTimer),
        connection.received);
    // The connection counts until the moment it is closed (the device's end, right after this).
    const auto stopped = qScopeGuard([this, &connection] {
        m_admission->release(connection.peer);
        m_connectionLog->log(
            Level::info, Clock::now(), "thread stopped for connection %1", connection.descriptor);
    });

    try {
        HttpRequest::ParseError parseError = HttpRequest::ParseError::notRequest;
        const std::optional<HttpRequest> request
            = HttpRequest::parse(&device, m_limits, &parseError);
        std::optional<HttpResponse> response;
        if (request) {
            response = respond(*request, connection.peer, descriptor);
        } else if (parseError == HttpRequest::ParseError::headTooLarge) {
            m_connectionLog->log(Level::error, Clock::now(),
                "request head from connection %1 is too large", descriptor);
            response = bareError(431, "Request Header Fields Too Large");
        }

        if (device.deadlineMissed() || parseError == HttpRequest::ParseError::deadlineMissed) {
            m_connectionLog->log(Level::error, Clock::now(),
                "connection %1 missed the deadline of its request and is dropped", descriptor);
            m_tally->dropped();
            return;
        }
        if (!response) {
            m_connectionLog->log(Level::error, Clock::now(),
                "data from connection %1 is not a http request", descriptor);
            m_tally->dropped();
            return;
        }
        response->writeToDevice(&device);
        if (device.writeFailed()) {
            m_connectionLog->log(
                Level::error, Clock::now(), "cannot write response to connection %1", descriptor);
            m_tally->dropped();
            return;
        }
        m_tally->answered(response->statusCode());
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

HttpResponse HttpServer::respond(const HttpRequest& request, quint32 peer, int descriptor)
{
    const QString key = QString::fromUtf8(request.method() + ' ' + request.path());
    const Route* const found = route(key);
    if (!found) {
        m_connectionLog->log(Level::error, Clock::now(),
            "requested path %1 from connection %2 is not found", key, descriptor);
        return bareError(404, "Not Found");
    }
    if (found->allowed && !found->allowed(QHostAddress(peer))) {
        m_connectionLog->log(Level::warn, Clock::now(), "route %1 refused to connection %2 from %3",
            found->pattern.pattern(), descriptor, AddressText(peer).text);
        return bareError(403, "Forbidden");
    }

    m_connectionLog->log(Level::info, Clock::now(),
        "processing handler with route %1 for connection %2", found->pattern.pattern(), descriptor);
    try {
        return found->handler(request);
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
