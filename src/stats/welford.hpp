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

// Every quantity of the step, in the order it is computed and checked.
struct WelfordQuantities {
  double delta;
  double mean;
  double delta2;
  double m2;
};

// Absorbs x into (mean, m2) as sample number `count` (as a real). The product
// is rounded before the sum. A non-finite x, mean or m2, or any non-finite
// quantity, leaves the new m2 non-finite: every later quantity is computed
// from the earlier ones.
[[gnu::always_inline]] inline WelfordQuantities welford_quantities(double x, double mean,
                                                                   double m2, double count) {
  const double delta = x - mean;
  const double new_mean = mean + delta / count;
  const double delta2 = x - new_mean;
  const double product = delta * delta2;
  return {delta, new_mean, delta2, product + m2};
}

// Absorbs the finite x into (mean, m2) as the next_count-th sample, checking
// each quantity in its order.
[[nodiscard]] inline Result<WelfordMoments> welford_step(double x, WelfordMoments current,
                                                         std::uint64_t next_count,
                                                         const WelfordNames& names) {
  const WelfordQuantities q =
      welford_quantities(x, current.mean, current.m2, as_real(next_count));
  DREL_TRY(check_finite(names.delta, q.delta));
  DREL_TRY(check_finite(names.mean, q.mean));
  DREL_TRY(check_finite(names.delta, q.delta2));
  DREL_TRY(check_finite(names.m2, q.m2));
  return WelfordMoments{q.mean, q.m2};
}

}  // namespace drel
