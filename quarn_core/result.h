// Errors as values: every fallible operation returns Result<T, E>, holding
// either its value or its error. Nothing in the system unwinds through its own
// code; the Python boundary turns the error into a result dict or exception.
#pragma once

#include <cassert>
#include <type_traits>
#include <utility>
#include <variant>

namespace quarn::core {

class CoreError;

// Marks the success of an operation that produces nothing.
struct Unit {
  friend bool operator==(Unit, Unit) { return true; }
};

template <class T, class E = CoreError>
class [[nodiscard]] Result {
  static_assert(!std::is_same_v<T, E>, "value and error types must differ");

 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT
  Result(E error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  // REQUIRES: ok()
  T& value() & { assert(ok()); return *std::get_if<0>(&v_); }
  const T& value() const& { assert(ok()); return *std::get_if<0>(&v_); }
  T&& value() && { assert(ok()); return std::move(*std::get_if<0>(&v_)); }

  // REQUIRES: !ok()
  E& error() & { assert(!ok()); return *std::get_if<1>(&v_); }
  const E& error() const& { assert(!ok()); return *std::get_if<1>(&v_); }
  E&& error() && { assert(!ok()); return std::move(*std::get_if<1>(&v_)); }

 private:
  std::variant<T, E> v_;
};

}  // namespace quarn::core

#define QUARN_CONCAT_INNER(a, b) a##b
#define QUARN_CONCAT(a, b) QUARN_CONCAT_INNER(a, b)

// QUARN_TRY(decl, expr): evaluates expr (a Result); on error returns that
// error from the enclosing function, else declares `decl` from the value.
//   QUARN_TRY(Reg lhs, lower_expr(st, *e.lhs));
#define QUARN_TRY(decl, expr) QUARN_TRY_IMPL(decl, expr, QUARN_CONCAT(quarn_try_, __LINE__))
#define QUARN_TRY_IMPL(decl, expr, tmp)          \
  auto tmp = (expr);                             \
  if (!tmp.ok()) return std::move(tmp).error();  \
  decl = std::move(tmp).value()

// QUARN_CHECK(expr): for Result<Unit>-like calls whose value is not needed.
#define QUARN_CHECK(expr)                                       \
  do {                                                          \
    auto quarn_check_result = (expr);                           \
    if (!quarn_check_result.ok())                               \
      return std::move(quarn_check_result).error();             \
  } while (0)
