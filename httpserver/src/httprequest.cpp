#include <vesk/httprequest.h>

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QIODevice>

#include <algorithm>

namespace vesk {

namespace {

// readLine takes at most one byte less than this, so a longer line arrives in pieces.
constexpr qint64 lineBufferSize = 1024;

// Reads the lines of one head and keeps its limits.
class HeadReader
{
public:
    HeadReader(QIODevice* device, const HttpRequest::Limits& limits)
        : m_device(device)
        , m_limits(limits)
    {
    }

    // The next line without its CR LF or LF ending, or empty with m_error set.
    std::optional<QByteArray> readLine()
    {
        for (;;) {
            if (!m_clock.isValid() && m_device->bytesAvailable() > 0)
                m_clock.start();
            // A peer that sends a long run of bytes without LF must not make the device buffer
            // grow without end: a full buffer's worth is taken as a cut line.
            if (m_device->canReadLine() || m_device->bytesAvailable() >= lineBufferSize - 1)
                break;
            std::chrono::milliseconds wait = HttpRequest::lineWait;
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

        char buffer[lineBufferSize];
        const qint64 size = m_device->readLine(buffer, lineBufferSize);
        if (size <= 0)
            return fail(HttpRequest::ParseError::notRequest);
        m_headBytes += size;
        if (m_headBytes > m_limits.maxHeadBytes)
            return fail(HttpRequest::ParseError::headTooLarge);

        qint64 length = size;
        if (buffer[length - 1] == '\n') {
            --length;
            if (length > 0 && buffer[length - 1] == '\r')
                --length;
        }
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
    const HttpRequest::Limits& m_limits;
    QElapsedTimer m_clock;
    qint64 m_headBytes = 0;
    HttpRequest::ParseError m_error = HttpRequest::ParseError::notRequest;
};

} // namespace

std::optional<HttpRequest> HttpRequest::parse(QIODevice* device)
{
    return parse(device, Limits {}, nullptr);
}

std::optional<HttpRequest> HttpRequest::parse(
    QIODevice* device, const Limits& limits, ParseError* error)
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
    return request;
}

QByteArray HttpRequest::header(const QByteArray& name) const
{
    return m_headers.value(name.toLower());
}

} // namespace vesk
