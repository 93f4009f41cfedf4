// A value-or-error type for code that must never throw across libjxl or
// CPython: every fallible codec operation returns one of these.
#pragma once

#include <type_traits>
#include <utility>
#include <variant>

namespace tessara {

template <typename E>
struct Err {
  E error;
};

template <typename E>
Err(E) -> Err<E>;

template <typename T, typename E>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT
  template <typename F>
  Result(Err<F> err) : v_(std::in_place_index<1>, std::move(err.error)) {}  // NOLINT

  bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  T& value() & noexcept { return *std::get_if<0>(&v_); }
  T&& value() && noexcept { return std::move(*std::get_if<0>(&v_)); }
  const T& value() const& noexcept { return *std::get_if<0>(&v_); }
  E& error() & noexcept { return *std::get_if<1>(&v_); }
  const E& error() const& noexcept { return *std::get_if<1>(&v_); }

 private:
  std::variant<T, E> v_;
};

// Result of an operation that produces nothing but may fail.
template <typename E>
class [[nodiscard]] Status {
 public:
  Status() = default;
  template <typename F>
  Status(Err<F> err) : failed_(true), error_(std::move(err.error)) {}  // NOLINT

  bool ok() const noexcept { return !failed_; }
  explicit operator bool() const noexcept { return ok(); }
  E& error() & noexcept { return error_; }
  const E& error() const& noexcept { return error_; }

 private:
  bool failed_ = false;
  E error_{};
};

}  // namespace tessara
