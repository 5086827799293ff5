#pragma once
// Result<T, E>: a value or the error that prevented it. Network operations return one instead of throwing, so no
// exception ever crosses a layer.
#include <utility>
#include <variant>

// The value of an operation that only succeeds or fails. Its own type, not std::monostate: QCoro keeps a task's
// result in a variant whose empty state is std::monostate, and a monostate result would be taken for "none yet".
struct Done
{
    friend bool operator==(Done, Done) = default;
};

template <typename T, typename E>
class [[nodiscard]] Result
{
public:
    Result(T value) : m_state(std::in_place_index<0>, std::move(value)) {}   // NOLINT: implicit by design
    Result(E error) : m_state(std::in_place_index<1>, std::move(error)) {}   // NOLINT: implicit by design

    [[nodiscard]] bool ok() const { return m_state.index() == 0; }
    explicit operator bool() const { return ok(); }

    [[nodiscard]] T &value() & { return std::get<0>(m_state); }
    [[nodiscard]] const T &value() const & { return std::get<0>(m_state); }
    [[nodiscard]] T &&value() && { return std::get<0>(std::move(m_state)); }
    [[nodiscard]] const E &error() const & { return std::get<1>(m_state); }
    [[nodiscard]] E &&error() && { return std::get<1>(std::move(m_state)); }

    T *operator->() { return &value(); }
    const T *operator->() const { return &value(); }
    T &operator*() & { return value(); }
    const T &operator*() const & { return value(); }

private:
    std::variant<T, E> m_state;
};
