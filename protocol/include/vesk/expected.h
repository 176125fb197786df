#pragma once

#include <utility>
#include <variant>

namespace vesk {

// The error side of an Expected, so that a value and an error of the same type stay apart.
template <typename E> struct Unexpected
{
    explicit Unexpected(E e)
        : error(std::move(e))
    {
    }
    E error;
};

template <typename E> Unexpected(E) -> Unexpected<E>;

// Either a value or an error, never both and never neither. A small stand-in for std::expected,
// which not every compiler that builds this tree provides. Asking for the side that is not held
// throws std::bad_variant_access.
template <typename T, typename E> class Expected
{
public:
    Expected(const T& value)
        : m_data(std::in_place_index<0>, value)
    {
    }
    Expected(T&& value)
        : m_data(std::in_place_index<0>, std::move(value))
    {
    }
    Expected(Unexpected<E> error)
        : m_data(std::in_place_index<1>, std::move(error.error))
    {
    }

    bool hasValue() const noexcept { return m_data.index() == 0; }
    explicit operator bool() const noexcept { return hasValue(); }

    const T& value() const& { return std::get<0>(m_data); }
    T& value() & { return std::get<0>(m_data); }
    T&& value() && { return std::get<0>(std::move(m_data)); }
    const E& error() const { return std::get<1>(m_data); }

private:
    std::variant<T, E> m_data;
};

} // namespace vesk
