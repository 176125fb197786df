#pragma once

#include <QByteArray>

#include <array>
#include <cstddef>
#include <span>

namespace vesk::ssl {

// The 32-byte AES-256 key agreed with a peer (see deriveKey). A default-made key holds nothing
// until trySetKey accepts bytes; the memory is wiped when the object goes away.
class SharedKey
{
public:
    static constexpr std::size_t size = 32;

    SharedKey() = default;
    SharedKey(const SharedKey&) = default;
    SharedKey& operator=(const SharedKey&) = default;
    ~SharedKey();

    // The 32 key bytes, the form stored on disk; empty while no key is set.
    QByteArray getKey() const;
    // Accepts exactly 32 bytes (what getKey gives) and nothing else; on refusal the previous key
    // is kept.
    bool trySetKey(const QByteArray& key);

    bool isValid() const noexcept { return m_valid; }
    // The key as encryptWithGcm takes it; all zero while no key is set. The span refers into this
    // object.
    std::span<const unsigned char, size> bytes() const noexcept { return m_key; }

private:
    std::array<unsigned char, size> m_key {};
    bool m_valid = false;
};

} // namespace vesk::ssl
