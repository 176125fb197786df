#include <vesk/ssl/error.h>

#include <openssl/err.h>

namespace vesk::ssl {

Error::Error(const std::string& what)
    : std::runtime_error(what)
{
}

Error Error::fromOpenSsl(const std::string& step)
{
    std::string text = step;
    bool first = true;
    while (unsigned long code = ERR_get_error()) {
        char buffer[256];
        ERR_error_string_n(code, buffer, sizeof buffer);
        text += first ? ": " : "; ";
        text += buffer;
        first = false;
    }
    return Error(text);
}

} // namespace vesk::ssl
