// Internal header of libvesk_utils, not API: the parts of the cryptography that tests check
// against published vectors, where the IV must be chosen by the caller.
#pragma once

#include <vesk/ssl/encrypteddatagcm.h>

#include <QByteArray>

#include <span>

namespace vesk::detail {

// AES-256-GCM with the given 12-byte IV, no additional authenticated data, 16-byte tag. Never
// call this twice with one key and one IV: GCM loses both secrecy and integrity then.
ssl::EncryptedDataGcm encryptWithGcmIv(
    std::span<const unsigned char, 32> key, const QByteArray& iv, const QByteArray& plaintext);

// HKDF (RFC 5869) with SHA-256. An empty salt stands for HashLen zero bytes, as the RFC says.
QByteArray hkdfSha256(
    const QByteArray& secret, const QByteArray& salt, const QByteArray& info, int length);

} // namespace vesk::detail
