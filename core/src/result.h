#pragma once

#include <expected>
#include <utility>

#include "db_error.h"

namespace sorvel {

// The result of every fallible core operation: a value or exactly one DbError. The caller cannot
// ignore it; an intentionally ignored result is written (void) with the reason beside it.
template <class T = void>
class [[nodiscard]] Result : public std::expected<T, DbError> {
  using Base = std::expected<T, DbError>;

 public:
  using Base::Base;
  Result(DbError error) : Base(std::unexpect, std::move(error)) {}
  Result(const Base& base) : Base(base) {}
  Result(Base&& base) : Base(std::move(base)) {}
};

// Success of a Result<void>.
inline Result<> ok() { return {}; }

}  // namespace sorvel

#define SORVEL_CONCAT_INNER_(a, b) a##b
#define SORVEL_CONCAT_(a, b) SORVEL_CONCAT_INNER_(a, b)

// Returns the error of `expr` (a Result) from the enclosing function, which returns a Result too.
#define SORVEL_TRY(expr)                                                      \
  do {                                                                        \
    auto&& sorvel_try_result_ = (expr);                                       \
    if (!sorvel_try_result_) [[unlikely]]                                     \
      return ::sorvel::DbError(std::move(sorvel_try_result_).error());        \
  } while (0)

// Declares or assigns `lhs` from the value of `expr`, or returns its error.
#define SORVEL_ASSIGN_OR_RETURN(lhs, expr) \
  SORVEL_ASSIGN_OR_RETURN_IMPL_(SORVEL_CONCAT_(sorvel_result_, __LINE__), lhs, expr)
#define SORVEL_ASSIGN_OR_RETURN_IMPL_(tmp, lhs, expr)          \
  auto tmp = (expr);                                           \
  if (!tmp) [[unlikely]]                                       \
    return ::sorvel::DbError(std::move(tmp).error());          \
  lhs = std::move(tmp).value()
