#pragma once

#include <stdexcept>
#include <string>

namespace sorvel {

// An internal invariant failure: a bug, never a consequence of input. Thrown by SORVEL_CHECK, caught
// once at the Python boundary and raised there as PanicException with this text.
class InvariantFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

[[noreturn]] void invariant_failure(const std::string& message);

}  // namespace sorvel

// Aborts the current call with an InvariantFailure when `cond` is false. Not removed by NDEBUG.
#define SORVEL_CHECK(cond, message)                                   \
  do {                                                                \
    if (!(cond)) [[unlikely]]                                         \
      ::sorvel::invariant_failure(message);                           \
  } while (0)
