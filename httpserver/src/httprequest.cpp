#include <vesk/httprequest.h>

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QIODevice>

#include <algorithm>

namespace vesk {

namespace {

// Reads the lines of one head and keeps its limits.
class HeadReader
{
public:
    HeadReader(QIODevice* device, const HttpLimits& limits)
        : m_device(device)
        , m_limits(limits)
        // readLine leaves room for a terminating zero.
        , m_line(limits.maxLineBytes + 1, Qt::Uninitialized)
    {
    }

    // The next line without its CR LF or LF ending, or empty with m_error set.
    std::optional<QByteArray> readLine()
    {
        for (;;) {
            if (!m_clock.isValid() && m_device->bytesAvailable() > 0)
                m_clock.start();
            // A run of bytes without LF as long as a line may be is already too long; waiting for
            // its end would let the device buffer grow without bound.
            if (m_device->canReadLine() || m_device->bytesAvailable() >= m_limits.maxLineBytes)
                break;
            std::chrono::milliseconds wait = m_limits.readWait;
            if (m_clock.isValid()) {
                const auto left = m_limits.deadline - std::chrono::milliseconds(m_clock.elapsed());
                if (left <= std::chrono::milliseconds::zero())
                    return fail(HttpRequest::ParseError::deadlineMissed);
                wait = std::min(wait, left);
            }
            if (!m_device->waitForReadyRead(static_cast<int>(wait.count()))) {
                const bool late = m_clock.isValid()
                    && std::chrono::milliseconds(m_clock.elapsed()) >= m_limits.deadline;
                return fail(late ? HttpRequest::ParseError::deadlineMissed
                                 : HttpRequest::ParseError::notRequest);
            }
        }

        char* buffer = m_line.data();
        const qint64 size = m_device->readLine(buffer, m_line.size());
        if (size <= 0)
            return fail(HttpRequest::ParseError::notRequest);
        m_headBytes += size;
        // A line cut at the limit: its tail must not pass for a line of its own (a hidden field).
        if (m_headBytes > m_limits.maxHeadBytes || buffer[size - 1] != '\n')
            return fail(HttpRequest::ParseError::headTooLarge);

        qint64 length = size - 1;
        if (length > 0 && buffer[length - 1] == '\r')
            --length;
        return QByteArray(buffer, length);
    }

    HttpRequest::ParseError error() const { return m_error; }

    std::nullopt_t fail(HttpRequest::ParseError error)
    {
        m_error = error;
        return std::nullopt;
    }

private:
    QIODevice* m_device;
    const HttpLimits& m_limits;
    QByteArray m_line;
    QElapsedTimer m_clock;
    qint64 m_headBytes = 0;
    HttpRequest::ParseError m_error = HttpRequest::ParseError::notRequest;
};

} // namespace

std::optional<HttpRequest> HttpRequest::parse(QIODevice* device)
{
    return parse(device, HttpLimits {}, nullptr);
}

std::optional<HttpRequest> HttpRequest::parse(
    QIODevice* device, const HttpLimits& limits, ParseError* error)
{
    HeadReader reader(device, limits);
    const auto failed = [&]() -> std::optional<HttpRequest> {
        if (error)
            *error = reader.error();
        return std::nullopt;
    };

    const std::optional<QByteArray> requestLine = reader.readLine();
    if (!requestLine)
        return failed();
    if (requestLine->isEmpty()) {
        reader.fail(ParseError::notRequest);
        return failed();
    }

    HttpRequest request;
    // Split at every single space, keeping empty fields: "GET  /a" has an empty path.
    const QList<QByteArray> fields = requestLine->split(' ');
    request.m_method = fields.value(0);
    request.m_path = fields.value(1);
    request.m_protocol = fields.value(2);

    for (int lines = 0;; ++lines) {
        const std::optional<QByteArray> line = reader.readLine();
        if (!line)
            return failed();
        if (line->isEmpty())
            break;
        if (lines == limits.maxHeaderLines) {
            reader.fail(ParseError::headTooLarge);
            return failed();
        }
        const qsizetype colon = line->indexOf(':');
        if (colon < 0)
            request.m_headers.insert(line->toLower(), QByteArray());
        else
            request.m_headers.insert(line->left(colon).toLower(), line->mid(colon + 1).trimmed());
    }

    request.m_device = device;
    request.m_limits = limits;
    return request;
}

QByteArray HttpRequest::header(const QByteArray& name) const
{
    return m_headers.value(name.toLower());
}

} // namespace vesk
