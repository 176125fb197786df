#include "gcmcipher.h"

#include <climits>
#include <stdexcept>

namespace vesk::detail {

namespace {

[[noreturn]] void fail(const char* what)
{
    throw std::runtime_error(std::string("AES-GCM: ") + what);
}

int intSize(std::size_t size)
{
    if (size > std::size_t(INT_MAX))
        fail("input too large");
    return int(size);
}

} // namespace

GcmCipher::GcmCipher(Direction direction, std::span<const unsigned char, 32> key)
    : m_context(EVP_CIPHER_CTX_new())
{
    if (!m_context)
        fail("no cipher context");
    const int ok = direction == Direction::encrypt
        ? EVP_EncryptInit_ex(m_context.get(), EVP_aes_256_gcm(), nullptr, key.data(), nullptr)
        : EVP_DecryptInit_ex(m_context.get(), EVP_aes_256_gcm(), nullptr, key.data(), nullptr);
    if (ok != 1)
        fail("cannot set the key");
}

void GcmCipher::encrypt(std::span<const std::uint8_t, 12> iv, std::span<const std::uint8_t> aad,
    std::span<const std::uint8_t> in, std::uint8_t* out, std::span<std::uint8_t, 16> tag)
{
    EVP_CIPHER_CTX* context = m_context.get();
    int length = 0;
    if (EVP_EncryptInit_ex(context, nullptr, nullptr, nullptr, iv.data()) != 1)
        fail("cannot set the IV");
    if (EVP_EncryptUpdate(context, nullptr, &length, aad.data(), intSize(aad.size())) != 1)
        fail("cannot add the additional data");
    if (!in.empty() && EVP_EncryptUpdate(context, out, &length, in.data(), intSize(in.size())) != 1)
        fail("cannot encrypt");
    if (EVP_EncryptFinal_ex(context, out + in.size(), &length) != 1)
        fail("cannot finish");
    if (EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_GCM_GET_TAG, int(tag.size()), tag.data()) != 1)
        fail("cannot read the tag");
}

bool GcmCipher::decrypt(std::span<const std::uint8_t, 12> iv, std::span<const std::uint8_t> aad,
    std::span<const std::uint8_t> in, std::uint8_t* out, std::span<const std::uint8_t, 16> tag)
{
    EVP_CIPHER_CTX* context = m_context.get();
    int length = 0;
    if (in.size() > std::size_t(INT_MAX) || aad.size() > std::size_t(INT_MAX))
        return false;
    if (EVP_DecryptInit_ex(context, nullptr, nullptr, nullptr, iv.data()) != 1)
        return false;
    if (EVP_DecryptUpdate(context, nullptr, &length, aad.data(), int(aad.size())) != 1)
        return false;
    if (!in.empty() && EVP_DecryptUpdate(context, out, &length, in.data(), int(in.size())) != 1)
        return false;
    // OpenSSL only reads the tag here, but its interface is not const-correct.
    if (EVP_CIPHER_CTX_ctrl(
            context, EVP_CTRL_GCM_SET_TAG, int(tag.size()), const_cast<std::uint8_t*>(tag.data()))
        != 1)
        return false;
    return EVP_DecryptFinal_ex(context, out + in.size(), &length) == 1;
}

} // namespace vesk::detail
