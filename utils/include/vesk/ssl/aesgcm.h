#pragma once

#include <openssl/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace vesk::ssl {

// AES-256-GCM under one key, with the 12-byte IV, the additional authenticated data and the
// 16-byte tag given per call. The key schedule is computed once, which matters at several thousand
// datagrams a second; every other use of AES-GCM in the tree goes through this class too.
//
// One thread at a time (the OpenSSL context is reused). Movable, not copyable.
class AesGcm
{
public:
    static constexpr std::size_t keySize = 32;
    static constexpr std::size_t ivSize = 12;
    static constexpr std::size_t tagSize = 16;

    // Throws ssl::Error when OpenSSL cannot set up the context.
    explicit AesGcm(std::span<const unsigned char, keySize> key);
    ~AesGcm();
    AesGcm(AesGcm&&) noexcept;
    AesGcm& operator=(AesGcm&&) noexcept;

    // Encrypts `in` into `out` (as long as `in`; the two may be the same bytes) and writes the tag.
    // Throws ssl::Error when OpenSSL fails.
    void encrypt(std::span<const std::uint8_t, ivSize> iv, std::span<const std::uint8_t> aad,
        std::span<const std::uint8_t> in, std::uint8_t* out, std::span<std::uint8_t, tagSize> tag);
    // Decrypts `in` into `out` (as long as `in`). False when the tag does not match; `out` then
    // holds nothing of the plaintext.
    bool decrypt(std::span<const std::uint8_t, ivSize> iv, std::span<const std::uint8_t> aad,
        std::span<const std::uint8_t> in, std::uint8_t* out,
        std::span<const std::uint8_t, tagSize> tag);

private:
    struct ContextFree
    {
        void operator()(EVP_CIPHER_CTX* context) const noexcept;
    };
    std::unique_ptr<EVP_CIPHER_CTX, ContextFree> m_encrypt;
    std::unique_ptr<EVP_CIPHER_CTX, ContextFree> m_decrypt;
};

} // namespace vesk::ssl
