// Internal to libvesk_transport, not API.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace vesk::detail {

// A one-way key chain of the stream's delayed-key MACs (docs/stream-protocol.md, section 2):
//
//   k_L            drawn at random
//   k_(i-1)        SHA-256("vesk chain" || k_i), so anybody can go down the chain, nobody up
//   k_0            the commitment, which the chain's anchor publishes
//   interval first + i - 1 has k_i (i = 1 .. L); its MAC key is SHA-256("vesk mac" || k_i)
//
// The register holds every key of its chains; a receiver holds a commitment and the newest key
// disclosed, and checks a new one by going down from it.
class KeyChain
{
public:
    using Key = std::array<std::uint8_t, 32>;

    // The key before `key` in its chain. Throws ssl::Error when OpenSSL fails.
    static Key previous(const Key& key);
    // What an interval's MACs are made with. Throws ssl::Error when OpenSSL fails.
    static Key macKey(const Key& key);

    // All length + 1 keys, from the top one down. Throws ssl::Error when OpenSSL fails.
    KeyChain(std::uint32_t number, std::uint64_t first, std::uint32_t length, const Key& top);

    std::uint32_t number() const { return m_number; }
    std::uint64_t first() const { return m_first; }
    std::uint32_t length() const { return std::uint32_t(m_keys.size() - 1); }
    // The first interval after the chain.
    std::uint64_t end() const { return m_first + length(); }
    bool covers(std::uint64_t interval) const
    {
        return interval >= m_first && interval - m_first < length();
    }
    const Key& commitment() const { return m_keys.front(); }
    // The key of an interval the chain covers.
    const Key& keyOf(std::uint64_t interval) const { return m_keys[interval - m_first + 1]; }

private:
    std::uint32_t m_number;
    std::uint64_t m_first;
    std::vector<Key> m_keys;
};

} // namespace vesk::detail
