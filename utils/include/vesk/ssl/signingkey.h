#pragma once

#include <vesk/ssl/evppkeycleaner.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace vesk::ssl {

// An Ed25519 private key (RFC 8032) that signs what the register sends, so that receivers can
// tell its datagrams from anybody else's. Copies share the key, which is never changed.
//
// sign() may be called from one thread at a time per object.
class SigningKey
{
public:
    static constexpr std::size_t publicKeySize = 32;
    static constexpr std::size_t signatureSize = 64;

    // A fresh key from OpenSSL's random generator. Throws ssl::Error on failure.
    static SigningKey generate();
    // The key of a 32-byte seed (the "private key" of RFC 8032), for known answers. Throws
    // ssl::Error on failure.
    static SigningKey fromSeed(std::span<const std::uint8_t, 32> seed);

    // The raw 32-byte public key, as VerifyingKey::fromRaw reads it.
    std::array<std::uint8_t, publicKeySize> publicKey() const;
    // Signs `message` into `signature`. Throws ssl::Error when OpenSSL fails.
    void sign(std::span<const std::uint8_t> message,
        std::span<std::uint8_t, signatureSize> signature) const;

private:
    explicit SigningKey(EVP_PKEY* key);

    std::shared_ptr<EVP_PKEY> m_key;
};

} // namespace vesk::ssl
