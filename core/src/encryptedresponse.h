#pragma once
// Internal header of libvesk_core, not API.

#include <vesk/httpresponse.h>

#include <QByteArray>

#include <span>

namespace vesk::ssl {
class PublicKey;
}

namespace vesk::detail {

// The 200 answer of a REST command: the plaintext encrypted with AES-256-GCM under `key`, the
// tag appended to the ciphertext as the body, and the fields "Content-Encoding: x-aes-gcm",
// "X-PK" (Base64 of our DER public key of this exchange), "X-IV" (Base64), then "Content-Type"
// and "Content-Length". Throws RestError 500 when the encryption fails.
HttpResponse encryptedResponse(const ssl::PublicKey& publicKey,
    std::span<const unsigned char, 32> key, const QByteArray& plaintext, QByteArray contentType);

} // namespace vesk::detail
