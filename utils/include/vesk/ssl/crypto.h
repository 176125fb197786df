#pragma once

#include <vesk/ssl/encrypteddatagcm.h>
#include <vesk/ssl/privatekey.h>
#include <vesk/ssl/publickey.h>
#include <vesk/ssl/sharedkey.h>

#include <QByteArray>

#include <span>
#include <utility>

// Key agreement and encryption with our peers. The exact construction (P-256, ECDH, HKDF-SHA256,
// AES-256-GCM) is written down in docs/crypto.md. All functions are safe to call from several
// threads at once and throw vesk::ssl::Error on failure.
namespace vesk::ssl {

// A fresh P-256 key pair from OpenSSL's random generator.
std::pair<PrivateKey, PublicKey> generateKeyPairEC();

// ECDH between our private and the peer's public key, then HKDF-SHA256 over the shared secret
// with an empty salt and an empty info, 32 bytes out. Both sides get the same key. Throws for an
// invalid key on either side.
SharedKey deriveKey(const PrivateKey& own, const PublicKey& peer);

// AES-256-GCM with a fresh random 12-byte IV per call, a 16-byte tag and no additional
// authenticated data.
EncryptedDataGcm encryptWithGcm(
    std::span<const unsigned char, 32> key, const QByteArray& plaintext);

// The inverse of encryptWithGcm. Throws when the IV or tag has the wrong length or the tag does
// not match (a wrong key, or a changed IV, ciphertext or tag); no plaintext is given out then.
QByteArray decryptWithGcm(std::span<const unsigned char, 32> key, const EncryptedDataGcm& data);

} // namespace vesk::ssl
