#pragma once
// Internal header of libvesk_protocol, not API: the files and answers it owns are hashed here.

#include <cstddef>
#include <cstdint>
#include <memory>

struct XXH64_state_s;

namespace vesk {

// Streaming XXH64 digest (the published xxHash algorithm, computed by libxxhash). Feed the bytes
// in pieces of any size with add(); hash() gives the digest of everything added so far and may
// be called at any time without disturbing the state.
class XXHash64
{
public:
    explicit XXHash64(std::uint64_t seed);
    ~XXHash64();
    XXHash64(XXHash64&&) = delete;
    XXHash64& operator=(XXHash64&&) = delete;
    XXHash64(const XXHash64&) = delete;
    XXHash64& operator=(const XXHash64&) = delete;

    // False, with nothing added, for a null pointer or a length of 0.
    bool add(const void* data, std::size_t length);
    std::uint64_t hash() const;

private:
    struct StateDeleter
    {
        void operator()(XXH64_state_s* state) const noexcept;
    };
    std::unique_ptr<XXH64_state_s, StateDeleter> m_state;
};

} // namespace vesk
