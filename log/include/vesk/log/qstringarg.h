#pragma once

#include <QByteArray>
#include <QFlags>
#include <QLatin1StringView>
#include <QString>
#include <QStringView>

#include <concepts>
#include <type_traits>
#include <utility>

namespace vesk::log {

namespace detail {

template <typename T> struct IsQFlags : std::false_type
{
};
template <typename E> struct IsQFlags<QFlags<E>> : std::true_type
{
};

template <typename T> using Bare = std::remove_cvref_t<T>;

// char, wchar_t and the charN_t types would be taken as characters by QString::arg, and bool as
// a number; neither is what a log message means, so both are left out.
template <typename T>
concept CharLike = std::same_as<T, char> || std::same_as<T, signed char> || std::same_as<T,
    unsigned char> || std::same_as<T, wchar_t> || std::same_as<T, char8_t> || std::same_as<T,
    char16_t> || std::same_as<T, char32_t>;

} // namespace detail

// The types that Logger's formatting functions accept as arguments:
//   QString, QStringView, QLatin1StringView   text as is
//   QByteArray, const char*, char*, literals  text in UTF-8
//   integers other than bool and char types   base 10
//   floating point                            QString::arg(double) ('g', shortest)
//   enumerations and QFlags                   their integer value
template <typename T>
concept QStringArg
    = std::same_as<detail::Bare<T>, QString> || std::same_as<detail::Bare<T>,
          QStringView> || std::same_as<detail::Bare<T>,
          QLatin1StringView> || std::same_as<detail::Bare<T>, QByteArray> || std::same_as
    < std::decay_t<T>,
const char* >
    || std::same_as<std::decay_t<T>,
        char*> || (std::integral<detail::Bare<T>> && !std::same_as<detail::Bare<T>, bool> && !detail::CharLike<detail::Bare<T>>)
    || std::floating_point<detail::Bare<
        T>> || std::is_enum_v<detail::Bare<T>> || detail::IsQFlags<detail::Bare<T>>::value;

namespace detail {

// The text QString::arg would put in place of a marker (field width 0, fill space, base 10), with
// the conversions of the table above.
template <QStringArg T> QString text(T&& value)
{
    using V = Bare<T>;
    if constexpr (std::same_as<V, QString>) {
        return value;
    } else if constexpr (std::same_as<V, QStringView> || std::same_as<V, QLatin1StringView>) {
        return value.toString();
    } else if constexpr (std::same_as<V, QByteArray>) {
        return QString::fromUtf8(value);
    } else if constexpr (std::is_pointer_v<std::decay_t<T>>) {
        return QString::fromUtf8(value);
    } else if constexpr (std::integral<V> && std::is_signed_v<V>) {
        return QString::number(static_cast<qlonglong>(value));
    } else if constexpr (std::integral<V>) {
        return QString::number(static_cast<qulonglong>(value));
    } else if constexpr (std::floating_point<V>) {
        return QStringLiteral("%1").arg(static_cast<double>(value));
    } else if constexpr (std::is_enum_v<V>) {
        return text(std::to_underlying(value));
    } else {
        return text(value.toInt());
    }
}

} // namespace detail

} // namespace vesk::log
