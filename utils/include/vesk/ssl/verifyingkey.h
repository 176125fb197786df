#pragma once

#include <vesk/ssl/evppkeycleaner.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace vesk::ssl {

// The public half of a SigningKey: checks Ed25519 signatures (RFC 8032). Copies share the key.
// Safe to use from several threads at once.
class VerifyingKey
{
public:
    static constexpr std::size_t size = 32;
    static constexpr std::size_t signatureSize = 64;

    VerifyingKey() = default;
    // Reads a raw 32-byte public key. Never throws: any other length gives an invalid key, which
    // verifies nothing; 32 bytes that are no point of the curve verify nothing either.
    static VerifyingKey fromRaw(std::span<const std::uint8_t> raw);

    bool isValid() const noexcept { return m_key != nullptr; }
    // True only when `signature` is this key's signature of exactly `message`.
    bool verify(std::span<const std::uint8_t> message,
        std::span<const std::uint8_t, signatureSize> signature) const;

private:
    std::shared_ptr<EVP_PKEY> m_key;
};

} // namespace vesk::ssl
