#include "sha256.h"

#include <vesk/ssl/error.h>

#include <openssl/evp.h>

#include <memory>

namespace vesk::detail {

namespace {

struct DigestContextFree
{
    void operator()(EVP_MD_CTX* context) const noexcept { EVP_MD_CTX_free(context); }
};

} // namespace

std::array<std::uint8_t, 32> sha256(
    std::span<const std::uint8_t> first, std::span<const std::uint8_t> second)
{
    static EVP_MD* const digest = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    const std::unique_ptr<EVP_MD_CTX, DigestContextFree> context(EVP_MD_CTX_new());
    std::array<std::uint8_t, 32> out;
    unsigned int length = 0;
    if (!digest || !context || EVP_DigestInit_ex2(context.get(), digest, nullptr) != 1
        || EVP_DigestUpdate(context.get(), first.data(), first.size()) != 1
        || EVP_DigestUpdate(context.get(), second.data(), second.size()) != 1
        || EVP_DigestFinal_ex(context.get(), out.data(), &length) != 1 || length != out.size())
        throw ssl::Error::fromOpenSsl("cannot take a SHA-256");
    return out;
}

} // namespace vesk::detail
