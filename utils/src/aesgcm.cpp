#include <vesk/ssl/aesgcm.h>
#include <vesk/ssl/error.h>

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include <climits>

namespace vesk::ssl {

namespace {

[[noreturn]] void fail(const char* step)
{
    throw Error::fromOpenSsl(std::string("AES-GCM: ") + step);
}

// OpenSSL counts lengths in int.
bool fitsInt(std::size_t size)
{
    return size <= std::size_t(INT_MAX);
}

} // namespace

void AesGcm::ContextFree::operator()(EVP_CIPHER_CTX* context) const noexcept
{
    EVP_CIPHER_CTX_free(context);
}

AesGcm::AesGcm(std::span<const unsigned char, keySize> key)
    : m_encrypt(EVP_CIPHER_CTX_new())
    , m_decrypt(EVP_CIPHER_CTX_new())
{
    EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
    if (!cipher)
        fail("the cipher is not available");
    const bool ready = m_encrypt && m_decrypt
        && EVP_EncryptInit_ex2(m_encrypt.get(), cipher, key.data(), nullptr, nullptr) == 1
        && EVP_DecryptInit_ex2(m_decrypt.get(), cipher, key.data(), nullptr, nullptr) == 1;
    EVP_CIPHER_free(cipher);
    if (!ready)
        fail("cannot set the key");
}

AesGcm::~AesGcm() = default;
AesGcm::AesGcm(AesGcm&&) noexcept = default;
AesGcm& AesGcm::operator=(AesGcm&&) noexcept = default;

void AesGcm::encrypt(std::span<const std::uint8_t, ivSize> iv, std::span<const std::uint8_t> aad,
    std::span<const std::uint8_t> in, std::uint8_t* out, std::span<std::uint8_t, tagSize> tag)
{
    EVP_CIPHER_CTX* context = m_encrypt.get();
    int length = 0;
    if (!fitsInt(in.size()) || !fitsInt(aad.size()))
        throw Error("AES-GCM: input too large");
    if (EVP_EncryptInit_ex2(context, nullptr, nullptr, iv.data(), nullptr) != 1)
        fail("cannot set the IV");
    if (!aad.empty()
        && EVP_EncryptUpdate(context, nullptr, &length, aad.data(), int(aad.size())) != 1)
        fail("cannot add the additional data");
    if (!in.empty() && EVP_EncryptUpdate(context, out, &length, in.data(), int(in.size())) != 1)
        fail("cannot encrypt");
    if (EVP_EncryptFinal_ex(context, out + in.size(), &length) != 1)
        fail("cannot finish");
    if (EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_GCM_GET_TAG, int(tag.size()), tag.data()) != 1)
        fail("cannot read the tag");
}

bool AesGcm::decrypt(std::span<const std::uint8_t, ivSize> iv, std::span<const std::uint8_t> aad,
    std::span<const std::uint8_t> in, std::uint8_t* out, std::span<const std::uint8_t, tagSize> tag)
{
    EVP_CIPHER_CTX* context = m_decrypt.get();
    int length = 0;
    // OpenSSL only reads the tag, but its interface is not const-correct.
    const bool ok = fitsInt(in.size()) && fitsInt(aad.size())
        && EVP_DecryptInit_ex2(context, nullptr, nullptr, iv.data(), nullptr) == 1
        && (aad.empty()
            || EVP_DecryptUpdate(context, nullptr, &length, aad.data(), int(aad.size())) == 1)
        && (in.empty() || EVP_DecryptUpdate(context, out, &length, in.data(), int(in.size())) == 1)
        && EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_GCM_SET_TAG, int(tag.size()),
               const_cast<std::uint8_t*>(tag.data()))
            == 1
        && EVP_DecryptFinal_ex(context, out + in.size(), &length) == 1;
    if (!ok) {
        // Nothing of an unauthenticated message may leave this function.
        OPENSSL_cleanse(out, in.size());
        ERR_clear_error();
    }
    return ok;
}

} // namespace vesk::ssl
