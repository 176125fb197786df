// libFuzzer target: any bytes as a request head read from a buffer.

#include <vesk/httprequest.h>

#include <QBuffer>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    QBuffer buffer;
    buffer.setData(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    buffer.open(QIODevice::ReadOnly);
    vesk::HttpRequest::ParseError error = vesk::HttpRequest::ParseError::notRequest;
    const auto request = vesk::HttpRequest::parse(&buffer, {}, &error);
    if (request) {
        // The accessors and the body left behind must be readable whatever came in.
        (void)request->header("Content-Length");
        (void)request->host();
        (void)request->contentType();
        (void)(request->method().size() + request->path().size() + request->protocol().size());
        (void)request->device()->readAll();
    }
    return 0;
}
