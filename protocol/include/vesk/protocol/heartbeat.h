#pragma once

// The heartbeat datagram that a paired register sends its management server once a minute:
//
//   token (16 bytes, clear) | IV (12) | AES-256-GCM ciphertext | tag (16)
//
// under the key agreed at pairing. The clear token tells the server which key to open it with;
// the plaintext is {"datetime": wireTime(now)}, with milliseconds, compact.

#include <vesk/ssl/aesgcm.h>

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>

#include <span>

namespace vesk::protocol::heartbeat {

constexpr qsizetype tokenSize = 16;
// The shortest datagram that can be one: a token, an IV and a tag around nothing.
constexpr qsizetype minSize = tokenSize + qsizetype(ssl::AesGcm::ivSize + ssl::AesGcm::tagSize);

// The datagram for `now`. Throws ssl::Error when the encryption fails.
QByteArray seal(QByteArrayView token, std::span<const unsigned char, 32> key, const QDateTime& now);

// The token of a datagram, which selects its key; shorter when the datagram is.
QByteArrayView tokenOf(QByteArrayView datagram);

struct Opened
{
    enum class Result {
        opened, // `time` is the register's clock as it sent
        tooShort, // shorter than minSize
        forged, // the tag does not match: not sealed with this key
        noTime, // sealed with this key, and no "datetime" a time
    };
    Result result = Result::tooShort;
    QDateTime time;
};

// Opens the datagram with `cipher`, made of the key that its token selects.
Opened open(QByteArrayView datagram, ssl::AesGcm& cipher);

} // namespace vesk::protocol::heartbeat
