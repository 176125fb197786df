#include <vesk/httperror.h>

namespace vesk {

HttpError::HttpError(
    int status, const QByteArray& statusText, const QByteArray& body, const QByteArray& contentType)
    : HttpResponse(body, contentType)
{
    setStatus(status, statusText);
}

} // namespace vesk
