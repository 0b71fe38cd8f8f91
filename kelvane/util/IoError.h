#pragma once

#include <QString>

#include <type_traits>
#include <utility>
#include <variant>

// A failed file-system operation: the errno value and the platform's description of it, which is
// what the user is shown ("No such file or directory", "No space left on device", ...).
struct IoError {
    int code = 0;
    QString description;

    static IoError fromErrno(int code);
    static IoError withDescription(int code, QString description);
    bool operator==(const IoError &) const = default;
};

// The value of an operation that can fail, or the error that stopped it.
template <typename T, typename E = IoError>
class Result
{
public:
    Result(T value) : m_state(std::in_place_index<0>, std::move(value)) {}
    // From the error, or anything an error is made from (an IoError for a wider error type).
    template <typename F, typename = std::enable_if_t<std::is_constructible_v<E, F &&> && !std::is_constructible_v<T, F &&>>>
    Result(F &&error) : m_state(std::in_place_index<1>, E(std::forward<F>(error)))
    {
    }

    bool ok() const { return m_state.index() == 0; }
    explicit operator bool() const { return ok(); }
    const T &value() const & { return std::get<0>(m_state); }
    T &&value() && { return std::get<0>(std::move(m_state)); }
    const E &error() const { return std::get<1>(m_state); }

private:
    std::variant<T, E> m_state;
};
