#pragma once
// Internal header of libvesk_httpserver, not API.

#include <QtGlobal>

#include <arpa/inet.h>
#include <netinet/in.h>

namespace vesk::detail {

// The dotted form of an IPv4 address in host byte order, for log lines.
struct AddressText
{
    explicit AddressText(quint32 address)
    {
        const in_addr network { htonl(address) };
        ::inet_ntop(AF_INET, &network, text, sizeof text);
    }
    char text[INET_ADDRSTRLEN] {};
};

} // namespace vesk::detail
