#pragma once
// Internal header of libvesk_core, not API.

#include <QString>

#include <stdexcept>

namespace vesk::detail {

// Thrown by a REST handler to choose the HTTP status of its failure; the frame answers with the
// status and {"reason": what()}. The message is carried as UTF-8.
class RestError : public std::runtime_error
{
public:
    RestError(int status, const QString& message);
    ~RestError() override;

    int status() const noexcept { return m_status; }

private:
    int m_status;
};

} // namespace vesk::detail
