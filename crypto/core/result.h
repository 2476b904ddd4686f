// BasicResult<T, E>: a value or a failure, in the spirit of SerenityOS ErrorOr.
// Failures are values; TRY returns the failure early and otherwise yields the value,
// so fallible code reads as straight-line code.
#pragma once

#include <cassert>
#include <type_traits>
#include <utility>
#include <variant>

namespace tessarin {

template <typename T, typename E>
class [[nodiscard]] BasicResult {
  public:
    BasicResult(T value) : m_storage(std::in_place_index<0>, std::move(value)) {}
    BasicResult(E error) : m_storage(std::in_place_index<1>, std::move(error)) {}
    // Converts a failure of another value type (what TRY returns) into this one.
    template <typename U>
    BasicResult(BasicResult<U, E>&& other) requires(!std::is_same_v<U, T>)
        : m_storage(std::in_place_index<1>, other.release_error()) {}

    bool is_error() const { return m_storage.index() == 1; }
    explicit operator bool() const { return !is_error(); }

    T& value() {
        assert(!is_error());
        return std::get<0>(m_storage);
    }
    const T& value() const {
        assert(!is_error());
        return std::get<0>(m_storage);
    }
    const E& error() const {
        assert(is_error());
        return std::get<1>(m_storage);
    }
    T release_value() { return std::move(value()); }
    E release_error() {
        assert(is_error());
        return std::move(std::get<1>(m_storage));
    }

  private:
    std::variant<T, E> m_storage;
};

template <typename E>
class [[nodiscard]] BasicResult<void, E> {
  public:
    BasicResult() = default;
    BasicResult(E error) : m_error(std::move(error)), m_failed(true) {}
    template <typename U>
    BasicResult(BasicResult<U, E>&& other) requires(!std::is_void_v<U>)
        : m_error(other.release_error()), m_failed(true) {}

    bool is_error() const { return m_failed; }
    explicit operator bool() const { return !m_failed; }
    const E& error() const {
        assert(m_failed);
        return m_error;
    }
    void release_value() {}
    E release_error() {
        assert(m_failed);
        return std::move(m_error);
    }

  private:
    E m_error{};
    bool m_failed = false;
};

}  // namespace tessarin

// Evaluates a Result; on failure returns the failure from the enclosing function,
// otherwise yields the value. (GNU statement expression: g++ and clang++ both accept it.)
#define TRY(expression)                          \
    ({                                           \
        auto&& _try_result = (expression);       \
        if (_try_result.is_error()) [[unlikely]] \
            return _try_result.release_error();  \
        _try_result.release_value();             \
    })

// TRY for a failure of another kind: `lift` turns it into the enclosing function's failure
// (a crypto-core error into a CliError with context, say).
#define TRY_OR(expression, lift)                        \
    ({                                                  \
        auto&& _try_result = (expression);              \
        if (_try_result.is_error()) [[unlikely]]        \
            return (lift)(_try_result.release_error()); \
        _try_result.release_value();                    \
    })
