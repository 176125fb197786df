// Internal to libvesk_stream, not API.
#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace vesk::detail {

// AES-256-GCM with a key set once and the IV, additional data and 16-byte tag given per call. The
// key schedule is computed once, which matters at several thousand datagrams a second.
class GcmCipher
{
public:
    enum class Direction { encrypt, decrypt };

    // Throws std::runtime_error when OpenSSL cannot set up the context.
    GcmCipher(Direction direction, std::span<const unsigned char, 32> key);

    // Encrypts `in` into `out` (same length) and writes the tag. Throws std::runtime_error when
    // OpenSSL fails.
    void encrypt(std::span<const std::uint8_t, 12> iv, std::span<const std::uint8_t> aad,
        std::span<const std::uint8_t> in, std::uint8_t* out, std::span<std::uint8_t, 16> tag);
    // Decrypts `in` into `out` (same length); false, with `out` to be discarded, when the tag does
    // not match.
    bool decrypt(std::span<const std::uint8_t, 12> iv, std::span<const std::uint8_t> aad,
        std::span<const std::uint8_t> in, std::uint8_t* out, std::span<const std::uint8_t, 16> tag);

private:
    struct ContextFree
    {
        void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
    };
    std::unique_ptr<EVP_CIPHER_CTX, ContextFree> m_context;
};

} // namespace vesk::detail
