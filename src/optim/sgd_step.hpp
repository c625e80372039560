// The arithmetic of one SGD step, written once: the checked step (sgd.cpp)
// and the fused pass of the models' fast path both compute with these.
#pragma once

#include <cstddef>
#include <cstdint>

#include "error/guards.hpp"

namespace drel {

struct SgdWeight {
  double regularized_gradient;
  double weight;
};

// r = lambda * w + g, then w' = w - eta * r, one rounded operation at a time.
[[gnu::always_inline]] inline SgdWeight sgd_weight(double w, double g, double eta, double lambda) {
  const double penalty = lambda * w;
  const double r = penalty + g;
  const double change = eta * r;
  return {r, w - change};
}

// b' = b - eta * g: the penalty does not apply to the intercept.
[[gnu::always_inline]] inline double sgd_intercept(double b, double g, double eta) {
  const double change = eta * g;
  return b - change;
}

// One pass over the weights for a sample x whose loss gradient is g: the
// weight gradient x_i * g, then its SGD update. Returns whether every new
// weight is finite; that is exactly whether every check of the checked form
// passes, because a non-finite weight gradient or regularized gradient makes
// the new weight non-finite too (inf or NaN times eta, 0 included, is never
// finite, and w minus a non-finite change is not either). kWrite stores the new
// weights in place as it goes; otherwise the pass only looks.
template <bool kWrite>
[[gnu::always_inline]] inline bool sgd_pass(double* __restrict weights,
                                            const double* __restrict x, std::size_t n, double g,
                                            double eta, double lambda) {
  std::uint64_t bad = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double gw = x[i] * g;
    const double w = sgd_weight(weights[i], gw, eta, lambda).weight;
    bad |= non_finite_bit(w);
    if constexpr (kWrite) weights[i] = w;
  }
  return none_non_finite(bad);
}

}  // namespace drel
