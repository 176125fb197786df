// Internal to libvesk_transport, not API.
#pragma once

#include "keychain.h"

#include <vesk/streamdatagram.h>

#include <openssl/types.h>

#include <memory>
#include <span>

namespace vesk::detail {

// The MAC of one interval: the first 16 bytes of HMAC-SHA-256 under the interval's MAC key
// (KeyChain::macKey of its key). The key is set up once, so checking the thousand manifests a
// flood left waiting for one interval costs a thousand short hashes, not a thousand key setups.
//
// One thread at a time. Throws ssl::Error when OpenSSL fails.
class IntervalMac
{
public:
    // `key` is the interval's chain key.
    explicit IntervalMac(const KeyChain::Key& key);
    ~IntervalMac();
    IntervalMac(const IntervalMac&) = delete;
    IntervalMac& operator=(const IntervalMac&) = delete;

    StreamDatagram::Mac of(std::span<const std::uint8_t> bytes);
    // True when `mac` is the MAC of `bytes`; compared in constant time.
    bool verifies(std::span<const std::uint8_t> bytes,
        std::span<const std::uint8_t, StreamDatagram::macSize> mac);

private:
    struct ContextFree
    {
        void operator()(EVP_MAC_CTX* context) const noexcept;
    };
    std::unique_ptr<EVP_MAC_CTX, ContextFree> m_context;
};

} // namespace vesk::detail
