#pragma once

#include <stdexcept>
#include <string>

namespace vesk::ssl {

// Failure of a cryptographic operation. what() carries our description of the step that failed
// followed by OpenSSL's own error text, when it queued one.
class Error : public std::runtime_error
{
public:
    explicit Error(const std::string& what);

    // Builds the message from `step` and drains the calling thread's OpenSSL error queue into it,
    // so the next failure does not report stale entries.
    static Error fromOpenSsl(const std::string& step);
};

} // namespace vesk::ssl
