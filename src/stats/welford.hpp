// One Welford step, shared by Variance and the per-feature statistics of the
// standard scaler; each names its quantities in its own messages.
#pragma once

#include <cstdint>

#include "error/error.hpp"
#include "error/guards.hpp"

namespace drel {

struct WelfordNames {
  const char* delta;  // named the same for both deviations
  const char* mean;
  const char* m2;
};

struct WelfordMoments {
  double mean;
  double m2;
};

// Absorbs the finite x into (mean, m2) as the next_count-th sample, checking
// each quantity as soon as it exists. The product is rounded before the sum.
[[nodiscard]] inline Result<WelfordMoments> welford_step(double x, WelfordMoments current,
                                                         std::uint64_t next_count,
                                                         const WelfordNames& names) {
  const double delta = x - current.mean;
  DREL_TRY(check_finite(names.delta, delta));
  const double new_mean = current.mean + delta / as_real(next_count);
  DREL_TRY(check_finite(names.mean, new_mean));
  const double delta2 = x - new_mean;
  DREL_TRY(check_finite(names.delta, delta2));
  const double product = delta * delta2;
  const double new_m2 = product + current.m2;
  DREL_TRY(check_finite(names.m2, new_m2));
  return WelfordMoments{new_mean, new_m2};
}

}  // namespace drel
