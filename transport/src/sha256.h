// Internal to libvesk_transport, not API.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace vesk::detail {

// SHA-256 of `first` followed by `second`. The digest is fetched from OpenSSL once for the process:
// a chain of 6000 keys is made or walked in one go, and a digest taken of every fragment, where a
// fetch per call would cost more than the hash. Throws ssl::Error when OpenSSL fails.
std::array<std::uint8_t, 32> sha256(
    std::span<const std::uint8_t> first, std::span<const std::uint8_t> second = {});

} // namespace vesk::detail
