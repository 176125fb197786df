#pragma once

#include <openssl/types.h>

namespace vesk::ssl {

// Deleter for the EVP_PKEY owned by PrivateKey and PublicKey.
struct EVP_PKEY_cleaner
{
    void operator()(EVP_PKEY* key) const noexcept;
};

} // namespace vesk::ssl
