#include "intervalmac.h"

#include <vesk/ssl/error.h>

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <algorithm>

namespace vesk::detail {

namespace {

// Fetched once for the process: a fetch per interval would cost more than the MACs.
EVP_MAC* hmac()
{
    static EVP_MAC* const fetched = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    if (!fetched)
        throw ssl::Error::fromOpenSsl("cannot fetch HMAC");
    return fetched;
}

} // namespace

void IntervalMac::ContextFree::operator()(EVP_MAC_CTX* context) const noexcept
{
    EVP_MAC_CTX_free(context);
}

IntervalMac::IntervalMac(const KeyChain::Key& key)
    : m_context(EVP_MAC_CTX_new(hmac()))
{
    const KeyChain::Key macKey = KeyChain::macKey(key);
    char digest[] = "SHA256";
    const OSSL_PARAM parameters[]
        = { OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
              OSSL_PARAM_construct_end() };
    if (!m_context || EVP_MAC_init(m_context.get(), macKey.data(), macKey.size(), parameters) != 1)
        throw ssl::Error::fromOpenSsl("cannot set up a stream MAC");
}

IntervalMac::~IntervalMac() = default;

StreamDatagram::Mac IntervalMac::of(std::span<const std::uint8_t> bytes)
{
    // Initialising without a key starts again from the key set up in the constructor.
    std::uint8_t full[32];
    std::size_t length = 0;
    if (EVP_MAC_init(m_context.get(), nullptr, 0, nullptr) != 1
        || EVP_MAC_update(m_context.get(), bytes.data(), bytes.size()) != 1
        || EVP_MAC_final(m_context.get(), full, &length, sizeof full) != 1 || length != sizeof full)
        throw ssl::Error::fromOpenSsl("cannot compute a stream MAC");
    StreamDatagram::Mac mac;
    std::copy_n(full, mac.size(), mac.begin());
    return mac;
}

bool IntervalMac::verifies(
    std::span<const std::uint8_t> bytes, std::span<const std::uint8_t, StreamDatagram::macSize> mac)
{
    const StreamDatagram::Mac expected = of(bytes);
    return CRYPTO_memcmp(expected.data(), mac.data(), mac.size()) == 0;
}

} // namespace vesk::detail
