// SigningKey and VerifyingKey: the two halves of Ed25519.
#include <vesk/ssl/error.h>
#include <vesk/ssl/signingkey.h>
#include <vesk/ssl/verifyingkey.h>

#include <openssl/err.h>
#include <openssl/evp.h>

namespace vesk::ssl {

namespace {

struct DigestContextFree
{
    void operator()(EVP_MD_CTX* context) const noexcept { EVP_MD_CTX_free(context); }
};
using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestContextFree>;

} // namespace

SigningKey::SigningKey(EVP_PKEY* key)
    : m_key(key, EVP_PKEY_cleaner())
{
    if (!m_key)
        throw Error::fromOpenSsl("cannot make an Ed25519 key");
}

SigningKey SigningKey::generate()
{
    return SigningKey(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
}

SigningKey SigningKey::fromSeed(std::span<const std::uint8_t, 32> seed)
{
    return SigningKey(
        EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), seed.size()));
}

std::array<std::uint8_t, SigningKey::publicKeySize> SigningKey::publicKey() const
{
    std::array<std::uint8_t, publicKeySize> raw {};
    std::size_t length = raw.size();
    if (EVP_PKEY_get_raw_public_key(m_key.get(), raw.data(), &length) != 1 || length != raw.size())
        throw Error::fromOpenSsl("cannot read the Ed25519 public key");
    return raw;
}

void SigningKey::sign(
    std::span<const std::uint8_t> message, std::span<std::uint8_t, signatureSize> signature) const
{
    const DigestContext context(EVP_MD_CTX_new());
    std::size_t length = signature.size();
    if (!context
        || EVP_DigestSignInit_ex(
               context.get(), nullptr, nullptr, nullptr, nullptr, m_key.get(), nullptr)
            != 1
        || EVP_DigestSign(context.get(), signature.data(), &length, message.data(), message.size())
            != 1
        || length != signature.size())
        throw Error::fromOpenSsl("cannot sign");
}

VerifyingKey VerifyingKey::fromRaw(std::span<const std::uint8_t> raw)
{
    VerifyingKey key;
    if (raw.size() == size) {
        EVP_PKEY* parsed
            = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, raw.data(), raw.size());
        if (parsed)
            key.m_key.reset(parsed, EVP_PKEY_cleaner());
    }
    // A refused key may leave entries that would be blamed on a later, unrelated failure.
    ERR_clear_error();
    return key;
}

bool VerifyingKey::verify(std::span<const std::uint8_t> message,
    std::span<const std::uint8_t, signatureSize> signature) const
{
    if (!m_key)
        return false;
    const DigestContext context(EVP_MD_CTX_new());
    const bool ok = context
        && EVP_DigestVerifyInit_ex(
               context.get(), nullptr, nullptr, nullptr, nullptr, m_key.get(), nullptr)
            == 1
        && EVP_DigestVerify(
               context.get(), signature.data(), signature.size(), message.data(), message.size())
            == 1;
    if (!ok)
        ERR_clear_error();
    return ok;
}

} // namespace vesk::ssl
