// Result<T>: a value or a CodecError, returned by every fallible codec call.
#pragma once

#include <type_traits>
#include <utility>
#include <variant>

#include "vakra/error.hpp"

namespace vakra {

// Test ok() (or the Result as a bool) first: value() on an error, or error()
// on a value, is a bug that std::get reports with std::bad_variant_access.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Result(CodecError error) : state_(std::in_place_index<1>, error) {}     // NOLINT: implicit by design

  bool ok() const { return state_.index() == 0; }  // holds a value
  explicit operator bool() const { return ok(); }

  // The value; requires ok().
  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  CodecError error() const { return std::get<1>(state_); }  // requires !ok()

 private:
  std::variant<T, CodecError> state_;
};

// Result of an operation that yields nothing on success.
class [[nodiscard]] Status {
 public:
  Status() = default;  // success
  Status(CodecError error) : failed_(true), error_(error) {}  // NOLINT: implicit by design
  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  CodecError error() const { return error_; }  // meaningful only when !ok()

 private:
  bool failed_ = false;
  CodecError error_{};
};

}  // namespace vakra

#define VAKRA_CONCAT_INNER(a, b) a##b
#define VAKRA_CONCAT(a, b) VAKRA_CONCAT_INNER(a, b)

// Returns `error` from the enclosing function when `cond` holds.
#define VAKRA_RETURN_IF(cond, error) \
  do {                               \
    if (cond) return (error);        \
  } while (0)

// Forwards the error of a Result or Status expression.
#define VAKRA_TRY(expr)                                         \
  do {                                                          \
    auto&& VAKRA_CONCAT(vakra_try_, __LINE__) = (expr);         \
    if (!VAKRA_CONCAT(vakra_try_, __LINE__).ok())               \
      return VAKRA_CONCAT(vakra_try_, __LINE__).error();        \
  } while (0)

// `lhs = *expr` when expr succeeds; otherwise returns its error.
#define VAKRA_ASSIGN_OR_RETURN(lhs, expr)                                    \
  auto VAKRA_CONCAT(vakra_result_, __LINE__) = (expr);                       \
  if (!VAKRA_CONCAT(vakra_result_, __LINE__).ok())                           \
    return VAKRA_CONCAT(vakra_result_, __LINE__).error();                    \
  lhs = std::move(VAKRA_CONCAT(vakra_result_, __LINE__)).value()
