#include "resterror.h"

namespace vesk::detail {

RestError::RestError(int status, const QString& message)
    : std::runtime_error(message.toStdString())
    , m_status(status)
{
}

// Out of line so that the type's identity lives in the library: the frame tells a RestError
// from other exceptions with dynamic_cast, also when a handler is defined elsewhere.
RestError::~RestError() = default;

} // namespace vesk::detail
