#pragma once

#include <type_traits>
#include <utility>
#include <variant>

#include <QString>

namespace tavrolin {

// The failure side of a Result, named so that even a Result whose value and
// error are the same type says which of the two it holds:
//     return Unexpected{QStringLiteral("Cannot save %1").arg(path)};
template <typename E>
struct Unexpected {
    E error;
};
template <typename E>
Unexpected(E) -> Unexpected<E>;

// A value or the reason there is none: every fallible call's one shape.
// (The subset of std::expected this code needs; C++23 is not ours yet.)
template <typename T, typename E = QString>
class Result {
public:
    // A default value, as std::expected has (awaiting a task needs one).
    Result() requires std::is_default_constructible_v<T> : m_state(std::in_place_index<0>) {}
    Result(T value) : m_state(std::in_place_index<0>, std::move(value)) {}
    template <typename U>
    Result(Unexpected<U> failure) : m_state(std::in_place_index<1>, E(std::move(failure.error)))
    {
    }

    bool hasValue() const { return m_state.index() == 0; }
    explicit operator bool() const { return hasValue(); }

    T &value() & { return std::get<0>(m_state); }
    const T &value() const & { return std::get<0>(m_state); }
    T &&value() && { return std::get<0>(std::move(m_state)); }
    T *operator->() { return &value(); }
    const T *operator->() const { return &value(); }
    T &operator*() & { return value(); }
    const T &operator*() const & { return value(); }

    const E &error() const { return std::get<1>(m_state); }

private:
    std::variant<T, E> m_state;
};

} // namespace tavrolin
