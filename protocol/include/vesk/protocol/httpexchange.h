#pragma once

// One HTTP/1.1 exchange of a peer with the register's REST API: a JSON request on a connection of
// its own, and the answer up to the close. Bounded in time and size, so that a register that
// stalls, trickles or floods cannot hold the caller; no proxy, no redirect. IPv4 only, like the
// API. Blocks the calling thread; needs no event loop.

#include <vesk/protocol/encryptedanswer.h>

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>

namespace vesk::protocol {

struct HttpRequestToRegister
{
    std::uint32_t address = 0; // IPv4, host byte order
    quint16 port = 0;
    QByteArray path; // api::connectPath, api::streamConnectPath
    QByteArray body; // JSON
    // The whole exchange, connection included, ends within this.
    int timeoutMs = 10000;
    // More of the answer than this, head included, and it is no answer of a register.
    qsizetype maxAnswerBytes = protocol::maxAnswerBytes;
    // Set from another thread, ends the exchange within a tenth of a second.
    const std::atomic<bool>* cancel = nullptr;
};

struct HttpAnswer
{
    int status = 0;
    QByteArray reason;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;

    // The first field of that name, any case; empty when there is none.
    QByteArray header(QByteArrayView name) const;

    // When the request had been sent, and when the answer was in.
    std::chrono::steady_clock::time_point sent;
    std::chrono::steady_clock::time_point answered;
};

// Sends the request and reads the answer. On failure nothing, with `error` set to one line:
//   "cannot reach the register at 10.0.0.5:49152: Connection refused"
//   "the register at 10.0.0.5:49152 answered more than 65536 bytes"
//   "the register at 10.0.0.5:49152 did not finish its answer within 10 s"
//   "the register at 10.0.0.5:49152 gave no complete HTTP answer"
//   "cancelled"
std::optional<HttpAnswer> exchange(const HttpRequestToRegister& request, QString& error);

// The head and body as the register sent them up to the close, or nothing when the head is not
// complete or the body shorter than its Content-Length.
std::optional<HttpAnswer> parseHttpAnswer(const QByteArray& raw);

} // namespace vesk::protocol
