#include <vesk/httperror.h>
#include <vesk/httpserver.h>

#include <vesk/log.h>

#include <QDeadlineTimer>
#include <QScopeGuard>
#include <QTcpSocket>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <optional>

namespace vesk {

namespace {

// One worker per connection, and a worker waits up to a second for each line of a head (up to
// ten seconds for a trickling one). The pool must be well above the number of silent or slow
// peers that a register sees at once, or they starve the real API calls.
constexpr int maxWorkers = 32;

// Connections that completed their handshake but wait for accept while the owner thread is busy
// with other work; a short queue would make further clients' SYNs be dropped and retried
// seconds later.
constexpr int listenBacklog = 64;

// How long a peer may take to take in the response before the connection is dropped.
constexpr std::chrono::milliseconds writeTimeout { 10000 };

// After the response, unread input from the peer (a body no handler read) would make closing
// send a reset that can destroy the response in the peer's buffers. The input is drained until
// the peer closes, within these bounds.
constexpr std::chrono::milliseconds drainTimeout { 1000 };
constexpr qint64 drainLimit = 1024 * 1024;

QString systemError()
{
    const QString text = QString::fromLocal8Bit(std::strerror(errno));
    errno = 0;
    return text;
}

// Sends the whole response and closes the sending side, then waits for the peer's end.
void writeOut(QTcpSocket& socket, const HttpResponse& response, log::Logger* logger, int descriptor)
{
    response.writeToDevice(&socket);
    socket.flush();
    const QDeadlineTimer writeDeadline(writeTimeout);
    while (socket.bytesToWrite() > 0 && socket.waitForBytesWritten(writeDeadline.remainingTime()))
        ;
    if (socket.bytesToWrite() > 0) {
        logger->error(
            "cannot write response to connection %1: %2", descriptor, socket.errorString());
        return;
    }

    ::shutdown(static_cast<int>(socket.socketDescriptor()), SHUT_WR);
    const QDeadlineTimer drainDeadline(drainTimeout);
    qint64 drained = socket.skip(socket.bytesAvailable());
    while (drained < drainLimit && socket.waitForReadyRead(drainDeadline.remainingTime()))
        drained += socket.skip(socket.bytesAvailable());
}

} // namespace

HttpServer::HttpServer(QObject* parent)
    : QObject(parent)
    , m_pool(new QThreadPool)
    , m_logger(log::Manager::logger("vesk.server"))
{
    m_pool->setMaxThreadCount(maxWorkers);
}

HttpServer::~HttpServer()
{
    close();
    // The workers still use the routes and the logger of this server.
    if (m_pool) {
        m_pool->waitForDone();
        delete m_pool;
    }
}

bool HttpServer::listen(const QHostAddress& address, quint16 port)
{
    close();
    m_logger->info("creating new listener at %1 with port %2", address.toString(), port);

    // Non-blocking, so that a connection that went away between the notification and accept
    // cannot block the owner thread.
    const int descriptor = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (descriptor < 0) {
        m_logger->error("cannot create socket: %1", systemError());
        return false;
    }

    m_notifier = new QSocketNotifier(descriptor, QSocketNotifier::Read, this);
    connect(
        m_notifier, &QSocketNotifier::activated, this, &HttpServer::onPendingConnectionAvailable);

    // The server closes every connection itself, so they linger in TIME_WAIT on this port; a
    // restarted service must still be able to bind it. A port that another socket listens on
    // still fails to bind.
    const int reuse = 1;
    if (::setsockopt(descriptor, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) != 0) {
        m_logger->error("cannot set socket option: %1", systemError());
        close();
        return false;
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
        close();
        return false;
    }

    if (::listen(descriptor, listenBacklog) != 0) {
        m_logger->error("cannot start listenting socket: %1", systemError());
        close();
        return false;
    }

    m_logger->info("listening...");
    return true;
}

void HttpServer::close()
{
    m_logger->info("stopping listener");
    QSocketNotifier* notifier = m_notifier.data();
    m_notifier = nullptr;
    if (!notifier)
        return;
    notifier->setEnabled(false);
    const int descriptor = static_cast<int>(notifier->socket());
    notifier->setSocket(-1);
    ::close(descriptor);
    // Deleted rather than kept as a child: a server that listens again and again would otherwise
    // collect dead notifiers for its whole life.
    delete notifier;
}

void HttpServer::addRoute(const QRegularExpression& pattern, Handler handler)
{
    m_routes.append({ pattern, std::move(handler) });
}

void HttpServer::onPendingConnectionAvailable()
{
    if (!m_notifier)
        return;
    sockaddr_in peer {};
    socklen_t peerSize = sizeof peer;
    const int descriptor = ::accept4(static_cast<int>(m_notifier->socket()),
        reinterpret_cast<sockaddr*>(&peer), &peerSize, SOCK_CLOEXEC);
    if (descriptor < 0) {
        // Another notification raced this one for the same connection, or the peer gave up.
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            errno = 0;
            return;
        }
        m_logger->error("cannot accept new connection: %1", systemError());
        return;
    }

    m_logger->info("starting thread for accepted connection %1 from %2 ...", descriptor,
        QHostAddress(reinterpret_cast<const sockaddr*>(&peer)).toString());
    m_pool->start([this, descriptor] { acceptConnection(descriptor); }, 0);
}

void HttpServer::acceptConnection(int descriptor)
{
    m_logger->info("thread started for connection %1", descriptor);
    const auto stopped = qScopeGuard(
        [this, descriptor] { m_logger->info("thread stopped for connection %1", descriptor); });

    // Owned by this worker and destroyed here, which closes the connection: the worker thread
    // has no event loop that would carry out a deferred deletion soon.
    QTcpSocket socket;
    if (!socket.setSocketDescriptor(descriptor)) {
        m_logger->error("cannot take over connection %1: %2", descriptor, socket.errorString());
        ::close(descriptor);
        return;
    }
    socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);

    std::optional<HttpResponse> response;
    try {
        HttpRequest::ParseError parseError = HttpRequest::ParseError::notRequest;
        const std::optional<HttpRequest> request
            = HttpRequest::parse(&socket, HttpRequest::Limits {}, &parseError);
        if (!request) {
            if (parseError == HttpRequest::ParseError::headTooLarge) {
                m_logger->error("request head from connection %1 is too large", descriptor);
                response = HttpError(431, "Request Header Fields Too Large", {}, "plain/text");
            } else {
                m_logger->error("data from connection %1 is not a http request", descriptor);
            }
        } else {
            const QString key = QString::fromUtf8(request->method() + ' ' + request->path());
            const auto route = std::find_if(m_routes.cbegin(), m_routes.cend(),
                [&key](const auto& entry) { return entry.first.match(key).hasMatch(); });
            if (route == m_routes.cend()) {
                m_logger->error(
                    "requested path %1 from connection %2 is not found", key, descriptor);
                response = HttpError(404, "Not Found", {}, "plain/text");
            } else {
                m_logger->info("processing handler with route %1 for connection %2",
                    route->first.pattern(), descriptor);
                try {
                    response = route->second(*request);
                } catch (const HttpError& error) {
                    m_logger->info("HttpError happened while processing connection %1", descriptor);
                    response = error;
                } catch (const std::exception& error) {
                    m_logger->error("std::exception happened while processing connection %1: %2",
                        descriptor, error.what());
                    response = HttpError(500, "Internal Server Error", {}, "plain/text");
                } catch (...) {
                    m_logger->error(
                        "unhandled exception happened while processing connection %1", descriptor);
                    response = HttpError(500, "Internal Server Error", {}, "plain/text");
                }
            }
        }
        if (response)
            writeOut(socket, *response, m_logger, descriptor);
    } catch (...) {
        // Only logging can throw here (an appender's own failure); the connection still closes
        // and the worker carries on with the next one.
    }
}

} // namespace vesk
