#pragma once

// The encrypted answer of a REST command. The register agrees a key for this one exchange from a
// key pair of its own and the peer's public key of the request, and answers
//
//   Content-Encoding: x-aes-gcm
//   X-PK: Base64 of the DER of the register's public key of this exchange
//   X-IV: Base64 of the 12-byte IV
//   body: AES-256-GCM ciphertext of the JSON answer, followed by the 16-byte tag
//
// The register seals (sealAnswer), the management server and the display open (openAnswer).

#include <vesk/ssl/privatekey.h>
#include <vesk/ssl/publickey.h>
#include <vesk/ssl/sharedkey.h>

#include <QByteArray>
#include <QByteArrayView>
#include <QLatin1String>

#include <span>

namespace vesk::protocol {

namespace answer {
inline constexpr QLatin1String contentEncodingHeader("Content-Encoding");
inline constexpr QLatin1String encoding("x-aes-gcm");
inline constexpr QLatin1String publicKeyHeader("X-PK");
inline constexpr QLatin1String ivHeader("X-IV");
} // namespace answer

// A register's whole answer (head and body) is a few hundred bytes; a peer reads no more than
// this of it, so that a register that floods cannot hold it.
constexpr qsizetype maxAnswerBytes = 64 * 1024;

struct SealedAnswer
{
    QByteArray publicKey; // the value of X-PK
    QByteArray iv; // the value of X-IV
    QByteArray body;
};

// Encrypts `plaintext` under `key`, agreed with the peer from the private half of `publicKey`.
// Throws ssl::Error when the encryption fails.
SealedAnswer sealAnswer(
    const ssl::PublicKey& publicKey, std::span<const unsigned char, 32> key, const QByteArray& plaintext);

struct OpenedAnswer
{
    // The key agreed for the exchange, which a pairing keeps.
    ssl::SharedKey key;
    QByteArray plaintext;
};

// Agrees the key from our private key `own` of the request and the register's X-PK, and decrypts
// the body with X-IV. Throws ssl::Error (or std::exception) with a text for the peer's message
// when a value is malformed or the tag does not match.
OpenedAnswer openAnswer(const ssl::PrivateKey& own, QByteArrayView publicKey, QByteArrayView iv,
    const QByteArray& body);

} // namespace vesk::protocol
