// Errors are values: every fallible operation returns a Result, which holds
// either its value or exactly one error. Nothing in the library throws.
#pragma once

#include <type_traits>
#include <utility>
#include <variant>

namespace vrex {

template <class E>
struct Unexpected {
  E error;
};

template <class E>
Unexpected(E) -> Unexpected<E>;

template <class T, class E>
class [[nodiscard]] Result {
 public:
  Result(T value)
      : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design

  Result(Unexpected<E> failure)  // NOLINT: implicit by design
      : state_(std::in_place_index<1>, std::move(failure.error)) {}

  explicit operator bool() const noexcept { return state_.index() == 0; }

  bool has_value() const noexcept { return state_.index() == 0; }

  T& operator*() & { return *std::get_if<0>(&state_); }

  const T& operator*() const& { return *std::get_if<0>(&state_); }

  T&& operator*() && { return std::move(*std::get_if<0>(&state_)); }

  T* operator->() { return std::get_if<0>(&state_); }

  const T* operator->() const { return std::get_if<0>(&state_); }

  const E& error() const& { return *std::get_if<1>(&state_); }

  E&& error() && { return std::move(*std::get_if<1>(&state_)); }

 private:
  std::variant<T, E> state_;
};

// Success without a value, or one error.
template <class E>
class [[nodiscard]] Status {
 public:
  Status() = default;

  Status(Unexpected<E> failure) : failed_(true), error_(std::move(failure.error)) {}  // NOLINT

  static Status ok() { return Status(); }

  explicit operator bool() const noexcept { return !failed_; }

  bool has_value() const noexcept { return !failed_; }

  const E& error() const& { return error_; }

 private:
  bool failed_ = false;
  E error_{};
};

}  // namespace vrex

// Returns the error of `expr` from the enclosing function when it failed.
// Each use gets its own variable name, so uses may nest inside lambdas.
#define VREX_TRY(expr) VREX_TRY_IMPL(expr, VREX_CONCAT(vrex_try_result_, __COUNTER__))
#define VREX_CONCAT(a, b) VREX_CONCAT_IMPL(a, b)
#define VREX_CONCAT_IMPL(a, b) a##b
#define VREX_TRY_IMPL(expr, name)                                           \
  do {                                                                      \
    if (auto name = (expr); !name) return ::vrex::Unexpected{name.error()}; \
  } while (false)
