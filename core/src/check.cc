#include "check.h"

namespace sorvel {

void invariant_failure(const std::string& message) { throw InvariantFailure(message); }

}  // namespace sorvel
