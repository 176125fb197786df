#include <vesk/protocol/httpexchange.h>

#include <vesk/protocol/api.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vesk::protocol {

namespace {

using Clock = std::chrono::steady_clock;

// Waits in slices of a tenth of a second, so that `cancel` is noticed.
enum class Wait { ready, late, cancelled, failed };

Wait waitFor(int fd, short events, Clock::time_point deadline, const std::atomic<bool>* cancel)
{
    for (;;) {
        if (cancel && *cancel)
            return Wait::cancelled;
        const auto left
            = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return Wait::late;
        pollfd entry { fd, events, 0 };
        const int n = ::poll(&entry, 1, int(std::min<std::int64_t>(left.count(), 100)));
        if (n < 0 && errno != EINTR)
            return Wait::failed;
        if (n > 0)
            return Wait::ready;
    }
}

class Socket
{
public:
    Socket()
        : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0))
    {
    }
    ~Socket()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

QString where(const HttpRequestToRegister& request)
{
    in_addr address { htonl(request.address) };
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address, text, sizeof text);
    return QStringLiteral("%1:%2").arg(QString::fromLatin1(text)).arg(request.port);
}

QString unreachable(const HttpRequestToRegister& request, int error)
{
    return QStringLiteral("cannot reach the register at %1: %2")
        .arg(where(request), QString::fromLocal8Bit(std::strerror(error)));
}

QString late(const HttpRequestToRegister& request)
{
    return QStringLiteral("the register at %1 did not finish its answer within %2 s")
        .arg(where(request))
        .arg(request.timeoutMs / 1000.0);
}

} // namespace

QByteArray HttpAnswer::header(QByteArrayView name) const
{
    for (const auto& [key, value] : headers)
        if (QByteArrayView(key).compare(name, Qt::CaseInsensitive) == 0)
            return value;
    return {};
}

std::optional<HttpAnswer> parseHttpAnswer(const QByteArray& raw)
{
    const qsizetype end = raw.indexOf("\r\n\r\n");
    if (end < 0)
        return std::nullopt;
    const QList<QByteArray> lines = raw.left(end).split('\n');
    const QList<QByteArray> status = lines.front().trimmed().split(' ');
    if (status.size() < 2 || !status[0].startsWith("HTTP/1."))
        return std::nullopt;
    HttpAnswer answer;
    bool ok = false;
    answer.status = status[1].toInt(&ok);
    if (!ok)
        return std::nullopt;
    answer.reason = lines.front().trimmed().mid(status[0].size() + status[1].size() + 2);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon > 0)
            answer.headers.append(
                { lines[i].left(colon).trimmed(), lines[i].mid(colon + 1).trimmed() });
    }
    answer.body = raw.mid(end + 4);
    const QByteArray length = answer.header("Content-Length");
    if (!length.isEmpty()) {
        const qsizetype expected = length.toLongLong(&ok);
        if (!ok || expected < 0 || expected > answer.body.size())
            return std::nullopt;
        answer.body.truncate(expected);
    }
    return answer;
}

std::optional<HttpAnswer> exchange(const HttpRequestToRegister& request, QString& error)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(request.timeoutMs);
    const auto failed = [&](Wait wait, const QString& lateText) {
        error = wait == Wait::cancelled ? QStringLiteral("cancelled")
            : wait == Wait::late        ? lateText
                                        : unreachable(request, errno);
        return std::nullopt;
    };

    Socket socket;
    if (socket.get() < 0) {
        error = unreachable(request, errno);
        return std::nullopt;
    }
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(request.port);
    address.sin_addr.s_addr = htonl(request.address);
    if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (errno != EINPROGRESS) {
            error = unreachable(request, errno);
            return std::nullopt;
        }
        const Wait wait = waitFor(socket.get(), POLLOUT, deadline, request.cancel);
        if (wait != Wait::ready)
            return failed(wait, unreachable(request, ETIMEDOUT));
        int connectError = 0;
        socklen_t size = sizeof connectError;
        ::getsockopt(socket.get(), SOL_SOCKET, SO_ERROR, &connectError, &size);
        if (connectError != 0) {
            error = unreachable(request, connectError);
            return std::nullopt;
        }
    }

    const QString host = where(request);
    const QByteArray head = "POST " + request.path + " HTTP/1.1\r\nHost: " + host.toLatin1()
        + "\r\nContent-Type: " + QByteArray(api::jsonType.data(), api::jsonType.size())
        + "\r\nAccept: " + QByteArray(api::jsonType.data(), api::jsonType.size())
        + "\r\nContent-Length: " + QByteArray::number(request.body.size())
        + "\r\nConnection: close\r\n\r\n";
    const QByteArray whole = head + request.body;
    // The register reads its clock after the request has come, so after this moment.
    HttpAnswer timing;
    timing.sent = Clock::now();
    for (qsizetype written = 0; written < whole.size();) {
        const ssize_t n = ::send(socket.get(), whole.constData() + written,
            std::size_t(whole.size() - written), MSG_NOSIGNAL);
        if (n < 0 && errno == EAGAIN) {
            const Wait wait = waitFor(socket.get(), POLLOUT, deadline, request.cancel);
            if (wait != Wait::ready)
                return failed(wait, late(request));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = unreachable(request, errno);
            return std::nullopt;
        }
        written += n;
    }

    // Everything up to the close is the answer; never more than one byte past the limit is kept.
    QByteArray raw;
    for (;;) {
        const Wait wait = waitFor(socket.get(), POLLIN, deadline, request.cancel);
        if (wait != Wait::ready)
            return failed(wait, late(request));
        const qsizetype room = request.maxAnswerBytes + 1 - raw.size();
        const qsizetype before = raw.size();
        raw.resize(before + room);
        const ssize_t n = ::recv(socket.get(), raw.data() + before, std::size_t(room), 0);
        raw.resize(before + std::max<ssize_t>(n, 0));
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (n < 0) {
            // A reset after the answer ends it as a close would.
            if (errno == ECONNRESET)
                break;
            error = unreachable(request, errno);
            return std::nullopt;
        }
        if (n == 0)
            break;
        if (raw.size() > request.maxAnswerBytes) {
            error = QStringLiteral("the register at %1 answered more than %2 bytes")
                        .arg(host)
                        .arg(request.maxAnswerBytes);
            return std::nullopt;
        }
    }
    const Clock::time_point answered = Clock::now();

    std::optional<HttpAnswer> answer = parseHttpAnswer(raw);
    if (!answer) {
        error = QStringLiteral("the register at %1 gave no complete HTTP answer").arg(host);
        return std::nullopt;
    }
    answer->sent = timing.sent;
    answer->answered = answered;
    return answer;
}

} // namespace vesk::protocol
