#include "xxhash64.h"

#include <new>

#include <xxhash.h>

namespace vesk {

void XXHash64::StateDeleter::operator()(XXH64_state_s* state) const noexcept
{
    XXH64_freeState(state);
}

XXHash64::XXHash64(std::uint64_t seed)
    : m_state(XXH64_createState())
{
    if (!m_state) {
        throw std::bad_alloc();
    }
    XXH64_reset(m_state.get(), seed);
}

XXHash64::~XXHash64() = default;

bool XXHash64::add(const void* data, std::size_t length)
{
    if (data == nullptr || length == 0) {
        return false;
    }
    return XXH64_update(m_state.get(), data, length) == XXH_OK;
}

std::uint64_t XXHash64::hash() const
{
    return XXH64_digest(m_state.get());
}

} // namespace vesk
