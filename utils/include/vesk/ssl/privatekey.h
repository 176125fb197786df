#pragma once

#include <vesk/ssl/evppkeycleaner.h>

#include <memory>

namespace vesk::ssl {

// A P-256 private key. Owns one EVP_PKEY; copies share it (OpenSSL reference count), which is
// safe because a key is never changed after it is made.
class PrivateKey
{
public:
    PrivateKey() = default;
    // Takes over the reference held by the caller.
    explicit PrivateKey(EVP_PKEY* key) noexcept;

    PrivateKey(const PrivateKey& other);
    PrivateKey& operator=(const PrivateKey& other);
    PrivateKey(PrivateKey&&) noexcept = default;
    PrivateKey& operator=(PrivateKey&&) noexcept = default;
    ~PrivateKey() = default;

    bool isValid() const noexcept { return m_key != nullptr; }
    // The key stays owned by this object; null for a default-made key.
    EVP_PKEY* get() const noexcept { return m_key.get(); }

private:
    std::unique_ptr<EVP_PKEY, EVP_PKEY_cleaner> m_key;
};

} // namespace vesk::ssl
