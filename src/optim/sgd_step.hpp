// The arithmetic of one SGD step, written once: the checked step (sgd.cpp)
// and the fused pass of the models' fast path both compute with these.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/lanes.hpp"
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

// Where a pass over the weights puts the new values: nowhere (it only
// looks), over the weights themselves, or over the weights themselves after
// saving each old value into a separate row (so that a caller can put them
// back if the pass reports a non-finite weight).
enum class PassOutput { None, InPlace, InPlaceSavingOld };

// One pass over the weights for a sample x whose loss gradient is g: the
// weight gradient x_i * g, then its SGD update. Returns whether every new
// weight is finite; that is exactly whether every check of the checked form
// passes, because a non-finite weight gradient or regularized gradient makes
// the new weight non-finite too (inf or NaN times eta, 0 included, is never
// finite, and w minus a non-finite change is not either). `out` is used only
// with PassOutput::InPlaceSavingOld (it receives the old weights). Two weights
// per iteration: see common/lanes.hpp.
template <PassOutput kOutput>
DREL_LANE_PASS bool sgd_pass(double* __restrict weights, const double* __restrict x,
                                double* __restrict out, std::size_t n, double g, double eta,
                                double lambda) {
  LaneBits bad;
  std::size_t i = 0;
  for (; i + 2 <= n; i += 2) {
    const double w0 = weights[i];
    const double w1 = weights[i + 1];
    const double u = sgd_weight(w0, x[i] * g, eta, lambda).weight;
    const double v = sgd_weight(w1, x[i + 1] * g, eta, lambda).weight;
    bad.pair[0] |= non_finite_bit(u);
    bad.pair[1] |= non_finite_bit(v);
    if constexpr (kOutput == PassOutput::InPlaceSavingOld) {
      out[i] = w0;
      out[i + 1] = w1;
    }
    if constexpr (kOutput == PassOutput::InPlace || kOutput == PassOutput::InPlaceSavingOld) {
      weights[i] = u;
      weights[i + 1] = v;
    }
  }
  if (i < n) {
    const double w0 = weights[i];
    const double u = sgd_weight(w0, x[i] * g, eta, lambda).weight;
    bad.last = non_finite_bit(u);
    if constexpr (kOutput == PassOutput::InPlaceSavingOld) out[i] = w0;
    if constexpr (kOutput == PassOutput::InPlace || kOutput == PassOutput::InPlaceSavingOld)
      weights[i] = u;
  }
  return none_non_finite(bad.all());
}

}  // namespace drel
