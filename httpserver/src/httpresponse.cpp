#include <vesk/httpresponse.h>

#include <QIODevice>
#include <QJsonDocument>

namespace vesk {

namespace {

// Up to this size the body is copied behind the head and both leave in one write; a larger body
// fills whole segments by itself, so a second write costs nothing on the wire.
constexpr qsizetype singleWriteLimit = 64 * 1024;

} // namespace

HttpResponse::HttpResponse(const QByteArray& body, const QByteArray& contentType)
{
    if (!body.isEmpty())
        setBody(body, contentType);
}

HttpResponse::HttpResponse(const QJsonDocument& document)
{
    setBody(document.toJson(QJsonDocument::Compact), "application/json");
}

void HttpResponse::setBody(const QByteArray& body, const QByteArray& contentType)
{
    addHeader("Content-Type", contentType);
    addHeader("Content-Length", QByteArray::number(body.size()));
    m_body = body;
}

void HttpResponse::setStatus(int code, const QByteArray& text)
{
    m_statusCode = code;
    m_statusText = text;
}

void HttpResponse::addHeader(const QByteArray& name, const QByteArray& value)
{
    m_headers.append({ name, value });
}

QByteArray HttpResponse::header(const QByteArray& name) const
{
    const QByteArray wanted = name.toLower();
    for (const auto& [key, value] : m_headers) {
        if (key.toLower() == wanted)
            return value;
    }
    return {};
}

void HttpResponse::writeToDevice(QIODevice* device) const
{
    if (m_body.size() <= singleWriteLimit) {
        device->write(toByteArray());
    } else {
        device->write(head(0));
        device->write(m_body);
    }
}

QByteArray HttpResponse::toByteArray() const
{
    QByteArray bytes = head(m_body.size());
    bytes += m_body;
    return bytes;
}

QByteArray HttpResponse::head(qsizetype room) const
{
    QByteArray head;
    head.reserve(64 + m_statusText.size() + m_headers.size() * 48 + room);
    head += "HTTP/1.1 ";
    head += QByteArray::number(m_statusCode);
    head += ' ';
    head += m_statusText;
    head += "\r\n";
    for (const auto& [name, value] : m_headers) {
        head += name;
        head += ": ";
        head += value;
        head += "\r\n";
    }
    head += "\r\n";
    return head;
}

} // namespace vesk
