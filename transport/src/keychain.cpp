#include "keychain.h"

#include "sha256.h"

#include <string_view>

namespace vesk::detail {

namespace {

KeyChain::Key labelled(std::string_view label, const KeyChain::Key& key)
{
    return sha256({ reinterpret_cast<const std::uint8_t*>(label.data()), label.size() }, key);
}

} // namespace

KeyChain::Key KeyChain::previous(const Key& key)
{
    return labelled("vesk chain", key);
}

KeyChain::Key KeyChain::macKey(const Key& key)
{
    return labelled("vesk mac", key);
}

KeyChain::KeyChain(std::uint32_t number, std::uint64_t first, std::uint32_t length, const Key& top)
    : m_number(number)
    , m_first(first)
    , m_keys(std::size_t(length) + 1)
{
    m_keys.back() = top;
    for (std::size_t i = length; i > 0; --i)
        m_keys[i - 1] = previous(m_keys[i]);
}

} // namespace vesk::detail
