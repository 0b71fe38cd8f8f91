#pragma once

#include <QString>

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

// The value of an operation that reads or writes files, or the error that stopped it.
template <typename T>
class Result
{
public:
    Result(T value) : m_state(std::in_place_index<0>, std::move(value)) {}
    Result(IoError error) : m_state(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return m_state.index() == 0; }
    explicit operator bool() const { return ok(); }
    const T &value() const & { return std::get<0>(m_state); }
    T &&value() && { return std::get<0>(std::move(m_state)); }
    const IoError &error() const { return std::get<1>(m_state); }

private:
    std::variant<T, IoError> m_state;
};
