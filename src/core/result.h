// Result<T, E>: a value or an error, returned by every core operation.
// The core never throws; only the Python layer turns errors into exceptions.
#pragma once

#include <cassert>
#include <utility>
#include <variant>

#include "core/error.h"

namespace quor {

template <typename T, typename E = EngineError>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(E error) : v_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { assert(ok()); return std::get<0>(v_); }
  const T& value() const& { assert(ok()); return std::get<0>(v_); }
  T&& value() && { assert(ok()); return std::get<0>(std::move(v_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

  const E& error() const& { assert(!ok()); return std::get<1>(v_); }
  E&& error() && { assert(!ok()); return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, E> v_;
};

// Success carries no value.
template <typename E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  Result(E error) : error_(std::move(error)), failed_(true) {}

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  const E& error() const& { assert(failed_); return error_; }
  E&& error() && { assert(failed_); return std::move(error_); }

 private:
  E error_{};
  bool failed_ = false;
};

using Status = Result<void>;

inline Status ok_status() { return Status(); }

}  // namespace quor

// Propagates the error of a Result-returning expression.
#define QUOR_TRY(expr)                          \
  do {                                          \
    auto _quor_r = (expr);                      \
    if (!_quor_r.ok()) return std::move(_quor_r).error(); \
  } while (0)
