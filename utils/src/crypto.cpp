#include "gcm.h"

#include <vesk/ssl/aesgcm.h>
#include <vesk/ssl/crypto.h>
#include <vesk/ssl/error.h>

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <array>
#include <memory>

namespace vesk {

namespace {

template <typename T, void (*Free)(T*)> struct Cleaner
{
    void operator()(T* object) const noexcept { Free(object); }
};
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, Cleaner<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using Kdf = std::unique_ptr<EVP_KDF, Cleaner<EVP_KDF, EVP_KDF_free>>;
using KdfCtx = std::unique_ptr<EVP_KDF_CTX, Cleaner<EVP_KDF_CTX, EVP_KDF_CTX_free>>;

// Wipes a secret held in a QByteArray when it goes out of scope.
struct Wipe
{
    QByteArray& bytes;
    ~Wipe() { OPENSSL_cleanse(bytes.data(), size_t(bytes.size())); }
};

[[noreturn]] void fail(const char* step)
{
    throw ssl::Error::fromOpenSsl(step);
}

std::span<const std::uint8_t> bytesOf(const QByteArray& bytes)
{
    return { reinterpret_cast<const std::uint8_t*>(bytes.constData()), std::size_t(bytes.size()) };
}

// Only after the caller has checked the length.
template <std::size_t Size> std::span<const std::uint8_t, Size> bytesOf(const QByteArray& bytes)
{
    return std::span<const std::uint8_t, Size>(
        reinterpret_cast<const std::uint8_t*>(bytes.constData()), Size);
}

} // namespace

ssl::EncryptedDataGcm detail::encryptWithGcmIv(
    std::span<const unsigned char, 32> key, const QByteArray& iv, const QByteArray& plaintext)
{
    if (iv.size() != ssl::EncryptedDataGcm::ivLength)
        throw ssl::Error("cannot encrypt: the IV must be 12 bytes");
    QByteArray ciphertext(plaintext.size(), Qt::Uninitialized);
    QByteArray tag(ssl::EncryptedDataGcm::tagLength, Qt::Uninitialized);
    ssl::AesGcm(key).encrypt(bytesOf<ssl::AesGcm::ivSize>(iv), {}, bytesOf(plaintext),
        reinterpret_cast<std::uint8_t*>(ciphertext.data()),
        std::span<std::uint8_t, ssl::AesGcm::tagSize>(
            reinterpret_cast<std::uint8_t*>(tag.data()), ssl::AesGcm::tagSize));
    return ssl::EncryptedDataGcm(std::move(ciphertext), iv, std::move(tag));
}

QByteArray detail::hkdfSha256(
    const QByteArray& secret, const QByteArray& salt, const QByteArray& info, int length)
{
    Kdf kdf(EVP_KDF_fetch(nullptr, "HKDF", nullptr));
    if (!kdf)
        fail("HKDF is not available");
    KdfCtx ctx(EVP_KDF_CTX_new(kdf.get()));
    if (!ctx)
        fail("cannot create HKDF context");

    char digest[] = "SHA256";
    // OpenSSL reads these buffers only; the casts drop const for its parameter API.
    std::array<OSSL_PARAM, 5> params {};
    std::size_t count = 0;
    params[count++] = OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0);
    params[count++] = OSSL_PARAM_construct_octet_string(
        OSSL_KDF_PARAM_KEY, const_cast<char*>(secret.constData()), size_t(secret.size()));
    // Leaving salt and info out is how OpenSSL takes them as empty.
    if (!salt.isEmpty())
        params[count++] = OSSL_PARAM_construct_octet_string(
            OSSL_KDF_PARAM_SALT, const_cast<char*>(salt.constData()), size_t(salt.size()));
    if (!info.isEmpty())
        params[count++] = OSSL_PARAM_construct_octet_string(
            OSSL_KDF_PARAM_INFO, const_cast<char*>(info.constData()), size_t(info.size()));
    params[count] = OSSL_PARAM_construct_end();

    QByteArray out(length, Qt::Uninitialized);
    if (EVP_KDF_derive(
            ctx.get(), reinterpret_cast<unsigned char*>(out.data()), size_t(length), params.data())
        != 1)
        fail("cannot derive key");
    return out;
}

namespace ssl {

std::pair<PrivateKey, PublicKey> generateKeyPairEC()
{
    PrivateKey privateKey(EVP_EC_gen("P-256"));
    if (!privateKey.isValid())
        fail("cannot generate key pair");
    // The public half goes through its own encoding, so that a PublicKey never carries the
    // private scalar.
    const int length = i2d_PUBKEY(privateKey.get(), nullptr);
    if (length <= 0)
        fail("cannot encode public key");
    QByteArray der(length, Qt::Uninitialized);
    auto* cursor = reinterpret_cast<unsigned char*>(der.data());
    if (i2d_PUBKEY(privateKey.get(), &cursor) != length)
        fail("cannot encode public key");
    PublicKey publicKey = PublicKey::fromDer(der);
    if (!publicKey.isValid())
        throw Error("cannot generate key pair: the public key does not read back");
    return { std::move(privateKey), std::move(publicKey) };
}

SharedKey deriveKey(const PrivateKey& own, const PublicKey& peer)
{
    if (!own.isValid())
        throw Error("cannot derive key: no private key");
    if (!peer.isValid())
        throw Error("cannot derive key: the peer's public key is not a valid P-256 key");

    PkeyCtx ctx(EVP_PKEY_CTX_new(own.get(), nullptr));
    if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1
        || EVP_PKEY_derive_set_peer_ex(ctx.get(), peer.get(), 1) != 1)
        fail("cannot agree key");
    size_t secretLength = 0;
    if (EVP_PKEY_derive(ctx.get(), nullptr, &secretLength) != 1)
        fail("cannot agree key");
    QByteArray secret(qsizetype(secretLength), Qt::Uninitialized);
    Wipe wipeSecret { secret };
    if (EVP_PKEY_derive(ctx.get(), reinterpret_cast<unsigned char*>(secret.data()), &secretLength)
        != 1)
        fail("cannot agree key");
    secret.truncate(qsizetype(secretLength));

    QByteArray key = detail::hkdfSha256(secret, {}, {}, int(SharedKey::size));
    Wipe wipeKey { key };
    SharedKey result;
    result.trySetKey(key);
    return result;
}

EncryptedDataGcm encryptWithGcm(std::span<const unsigned char, 32> key, const QByteArray& plaintext)
{
    QByteArray iv(EncryptedDataGcm::ivLength, Qt::Uninitialized);
    if (RAND_bytes(reinterpret_cast<unsigned char*>(iv.data()), int(iv.size())) != 1)
        fail("cannot draw IV");
    return detail::encryptWithGcmIv(key, iv, plaintext);
}

QByteArray decryptWithGcm(std::span<const unsigned char, 32> key, const EncryptedDataGcm& data)
{
    if (data.getIv().size() != EncryptedDataGcm::ivLength)
        throw Error("cannot decrypt: the IV must be 12 bytes");
    if (data.getTag().size() != EncryptedDataGcm::tagLength)
        throw Error("cannot decrypt: the tag must be 16 bytes");
    QByteArray plaintext(data.getCiphertext().size(), Qt::Uninitialized);
    if (!AesGcm(key).decrypt(bytesOf<AesGcm::ivSize>(data.getIv()), {},
            bytesOf(data.getCiphertext()), reinterpret_cast<std::uint8_t*>(plaintext.data()),
            bytesOf<AesGcm::tagSize>(data.getTag())))
        throw Error("cannot decrypt: authentication failed");
    return plaintext;
}

} // namespace ssl

} // namespace vesk
