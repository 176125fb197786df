#pragma once

#include <vesk/httpresponse.h>

namespace vesk {

// An HttpResponse thrown by value to end a request with an error status; the server catches it
// by reference and writes it as the response. Deliberately not a std::exception, so that a
// handler's catch of std::exception does not swallow it.
//
//   throw HttpError(415, "Unsupported Media Type", {}, "plain/text");   // bare status line
class HttpError : public HttpResponse
{
public:
    // The response of (body, contentType), then setStatus(status, statusText). An empty body
    // carries no header fields.
    HttpError(int status, const QByteArray& statusText, const QByteArray& body = {},
        const QByteArray& contentType = {});
};

} // namespace vesk
