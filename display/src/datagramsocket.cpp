#include "datagramsocket.h"

#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vesk::display {

namespace {

// Key frames come as bursts of datagrams; a small buffer would lose them.
constexpr int receiveBuffer = 4 * 1024 * 1024;

QString systemError(const char* what)
{
    return QString("%1: %2").arg(what, QString::fromLocal8Bit(std::strerror(errno)));
}

} // namespace

DatagramSocket::~DatagramSocket()
{
    if (m_descriptor >= 0)
        ::close(m_descriptor);
}

bool DatagramSocket::open(quint16 port, const QHostAddress& group, QString& error)
{
    m_descriptor = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_descriptor < 0) {
        error = systemError("cannot make a UDP socket");
        return false;
    }
    const int on = 1;
    ::setsockopt(m_descriptor, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    // Not fatal: the system's default buffer still receives, only bursts may be lost.
    ::setsockopt(m_descriptor, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(m_descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        error = systemError(qPrintable(QString("cannot listen on port %1").arg(port)));
        return false;
    }
    if (!group.isNull()) {
        ip_mreqn membership {};
        membership.imr_multiaddr.s_addr = htonl(group.toIPv4Address());
        membership.imr_address.s_addr = htonl(INADDR_ANY);
        if (::setsockopt(
                m_descriptor, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership)
            != 0) {
            error = systemError(qPrintable(QString("cannot join %1").arg(group.toString())));
            return false;
        }
    }
    return true;
}

std::size_t DatagramSocket::receiveBatch()
{
    std::array<iovec, batch> pieces;
    std::array<mmsghdr, batch> headers {};
    std::array<sockaddr_in, batch> senders {};
    for (std::size_t i = 0; i < batch; ++i) {
        pieces[i] = { m_buffers[i].data(), maxDatagram };
        headers[i].msg_hdr.msg_iov = &pieces[i];
        headers[i].msg_hdr.msg_iovlen = 1;
        headers[i].msg_hdr.msg_name = &senders[i];
        headers[i].msg_hdr.msg_namelen = sizeof senders[i];
    }
    const int count
        = ::recvmmsg(m_descriptor, headers.data(), unsigned(batch), MSG_DONTWAIT, nullptr);
    if (count <= 0)
        return 0;
    for (std::size_t i = 0; i < std::size_t(count); ++i) {
        m_lengths[i] = std::min<std::size_t>(headers[i].msg_len, maxDatagram);
        m_sources[i]
            = (std::uint64_t(ntohl(senders[i].sin_addr.s_addr)) << 16) | ntohs(senders[i].sin_port);
    }
    return std::size_t(count);
}

} // namespace vesk::display
