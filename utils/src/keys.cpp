#include <vesk/ssl/error.h>
#include <vesk/ssl/evppkeycleaner.h>
#include <vesk/ssl/privatekey.h>
#include <vesk/ssl/publickey.h>
#include <vesk/ssl/sharedkey.h>

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstring>
#include <memory>

namespace vesk::ssl {

namespace {

struct PkeyCtxCleaner
{
    void operator()(EVP_PKEY_CTX* ctx) const noexcept { EVP_PKEY_CTX_free(ctx); }
};

EVP_PKEY* shareReference(EVP_PKEY* key)
{
    if (key != nullptr && EVP_PKEY_up_ref(key) != 1)
        throw Error::fromOpenSsl("cannot share key");
    return key;
}

// The point is decoded and checked to lie on its curve already; this adds the curve itself
// and the full public-key check (not the point at infinity, correct order).
bool isUsableP256(EVP_PKEY* key)
{
    if (EVP_PKEY_is_a(key, "EC") != 1)
        return false;
    char group[64] = {};
    size_t groupLength = 0;
    if (EVP_PKEY_get_utf8_string_param(
            key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group, &groupLength)
        != 1)
        return false;
    if (std::strcmp(group, "prime256v1") != 0)
        return false;
    std::unique_ptr<EVP_PKEY_CTX, PkeyCtxCleaner> ctx(EVP_PKEY_CTX_new(key, nullptr));
    return ctx && EVP_PKEY_public_check(ctx.get()) == 1;
}

} // namespace

void EVP_PKEY_cleaner::operator()(EVP_PKEY* key) const noexcept
{
    EVP_PKEY_free(key);
}

PrivateKey::PrivateKey(EVP_PKEY* key) noexcept
    : m_key(key)
{
}

PrivateKey::PrivateKey(const PrivateKey& other)
    : m_key(shareReference(other.m_key.get()))
{
}

PrivateKey& PrivateKey::operator=(const PrivateKey& other)
{
    if (this != &other)
        m_key.reset(shareReference(other.m_key.get()));
    return *this;
}

PublicKey::PublicKey(EVP_PKEY* key) noexcept
    : m_key(key)
{
    if (m_key && !isUsableP256(m_key.get()))
        m_key.reset();
    // A refused key may leave entries that would be blamed on a later, unrelated failure.
    ERR_clear_error();
}

PublicKey::PublicKey(const PublicKey& other)
    : m_key(shareReference(other.m_key.get()))
{
}

PublicKey& PublicKey::operator=(const PublicKey& other)
{
    if (this != &other)
        m_key.reset(shareReference(other.m_key.get()));
    return *this;
}

PublicKey PublicKey::fromDer(const QByteArray& der)
{
    const auto* data = reinterpret_cast<const unsigned char*>(der.constData());
    const unsigned char* cursor = data;
    EVP_PKEY* key = d2i_PUBKEY(nullptr, &cursor, der.size());
    if (key != nullptr && cursor != data + der.size()) {
        // A second object or padding after the key: the sender does not speak our format.
        EVP_PKEY_free(key);
        key = nullptr;
    }
    // OpenSSL keeps the form the point arrived in; we always send the uncompressed one. The key
    // is still ours alone here, so changing it cannot surprise a copy.
    if (key != nullptr
        && EVP_PKEY_set_utf8_string_param(
               key, OSSL_PKEY_PARAM_EC_POINT_CONVERSION_FORMAT, "uncompressed")
            != 1) {
        EVP_PKEY_free(key);
        key = nullptr;
    }
    ERR_clear_error();
    return PublicKey(key);
}

QByteArray PublicKey::der() const
{
    if (!m_key)
        return {};
    const int length = i2d_PUBKEY(m_key.get(), nullptr);
    if (length <= 0)
        throw Error::fromOpenSsl("cannot encode public key");
    QByteArray result(length, Qt::Uninitialized);
    auto* cursor = reinterpret_cast<unsigned char*>(result.data());
    if (i2d_PUBKEY(m_key.get(), &cursor) != length)
        throw Error::fromOpenSsl("cannot encode public key");
    return result;
}

SharedKey::~SharedKey()
{
    OPENSSL_cleanse(m_key.data(), m_key.size());
}

QByteArray SharedKey::getKey() const
{
    if (!m_valid)
        return {};
    return QByteArray(reinterpret_cast<const char*>(m_key.data()), qsizetype(m_key.size()));
}

bool SharedKey::trySetKey(const QByteArray& key)
{
    if (key.size() != qsizetype(size))
        return false;
    std::memcpy(m_key.data(), key.constData(), size);
    m_valid = true;
    return true;
}

} // namespace vesk::ssl
