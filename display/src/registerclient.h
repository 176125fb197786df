// Internal to vesk-display, not API.
#pragma once

#include <vesk/protocol/encryptedanswer.h>
#include <vesk/streamdatagram.h>
#include <vesk/streamreceiver.h>

#include <QByteArray>
#include <QHostAddress>
#include <QString>

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>

namespace vesk::display {

// What the register tells a display about its stream.
struct StreamAccess
{
    std::uint32_t streamId = 0;
    QHostAddress address;
    quint16 port = 0;
    std::array<unsigned char, 32> key {};
    // The register's Ed25519 public key, which every anchor must be signed with.
    std::array<std::uint8_t, 32> signer {};
    QString datetime;
    // "clock", "anchor", "next" and "key", and when we asked and when the answer was in: from
    // these the receiver bounds the register's clock and holds its key chains.
    StreamReceiver::Join join;

    // The same stream: a register that restarted has another identifier and other keys.
    bool sameStream(const StreamAccess& other) const
    {
        return streamId == other.streamId && key == other.key && signer == other.signer;
    }
};

// The stream protocol this display speaks ("protocol" of the answer, byte 0 of every datagram).
constexpr int protocolVersion = StreamDatagram::version;

// The register's answer is a few hundred bytes; anything near this is no answer of a register.
constexpr qsizetype maxAnswerBytes = protocol::maxAnswerBytes;

// Asks the register at host:port for access to its stream ("POST /v1/stream/connect") with a key
// pair made for this request, and decrypts the answer. The whole exchange must end within
// `timeoutMs` and the answer stay within maxAnswerBytes, so a register that stalls, trickles or
// floods cannot hold the display; setting `cancel` (from another thread) ends it within a tenth of
// a second. On failure returns nothing and sets `error` to a one-line description.
std::optional<StreamAccess> connectToStream(const QHostAddress& host, quint16 port, int timeoutMs,
    QString& error, const std::atomic<bool>* cancel = nullptr);

// Reads the decrypted answer. Nothing, with `error` naming the first member that is missing, of
// the wrong type or out of range (peer text escaped), when it is not usable; a register of
// another protocol version is told apart from one that is broken.
std::optional<StreamAccess> readAccess(const QByteArray& plaintext, QString& error);

} // namespace vesk::display
