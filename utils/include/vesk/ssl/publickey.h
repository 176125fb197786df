#pragma once

#include <vesk/ssl/evppkeycleaner.h>

#include <QByteArray>

#include <memory>

namespace vesk::ssl {

// A P-256 public key, exchanged with peers as DER SubjectPublicKeyInfo. Owns one EVP_PKEY;
// copies share it (OpenSSL reference count), which is safe because a key is never changed.
class PublicKey
{
public:
    PublicKey() = default;
    // Takes over the reference held by the caller; the key is kept only if it is a usable P-256
    // public key, otherwise it is released and the object is invalid.
    explicit PublicKey(EVP_PKEY* key) noexcept;

    PublicKey(const PublicKey& other);
    PublicKey& operator=(const PublicKey& other);
    PublicKey(PublicKey&&) noexcept = default;
    PublicKey& operator=(PublicKey&&) noexcept = default;
    ~PublicKey() = default;

    // Reads exactly one DER SubjectPublicKeyInfo (uncompressed or compressed point). Never
    // throws: anything that is not a valid P-256 point (garbage, trailing bytes, another curve or
    // algorithm, the point at infinity) gives an invalid key.
    static PublicKey fromDer(const QByteArray& der);

    // True only for a usable P-256 public key.
    bool isValid() const noexcept { return m_key != nullptr; }
    // DER SubjectPublicKeyInfo with the uncompressed point (91 bytes); empty for an invalid key.
    QByteArray der() const;
    // The key stays owned by this object; null when invalid.
    EVP_PKEY* get() const noexcept { return m_key.get(); }

private:
    std::unique_ptr<EVP_PKEY, EVP_PKEY_cleaner> m_key;
};

} // namespace vesk::ssl
