#pragma once

#include <cstdint>

#include "distance/distance.h"

namespace sorvel::testing {

// Restores the processor feature cache when it goes away, so a test that forces a kernel family
// through cpu::set_features_for_testing leaves the word it found behind, also when an assertion
// ends the test early. Header-only: the testing library does not link the distance module.
class FeatureGuard {
 public:
  FeatureGuard() : saved_(cpu::features()) {}
  ~FeatureGuard() { cpu::set_features_for_testing(saved_); }
  FeatureGuard(const FeatureGuard&) = delete;
  FeatureGuard& operator=(const FeatureGuard&) = delete;

 private:
  std::uint32_t saved_;
};

}  // namespace sorvel::testing
