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

// What sgd_weight gives, bit for bit, when lambda is +0.0 (no bit set), in
// two rounded operations instead of four. The penalty +0.0 * w is a zero of
// w's sign, and adding a zero changes g only when g is -0.0 and the zero is
// +0.0, that is when w is +0.0 or positive: r is then +0.0 rather than -0.0,
// and w minus either zero change is w (+0.0 - +0.0 and +0.0 - -0.0 are both
// +0.0). A non-finite w, g or change leaves the new weight non-finite either
// way. (With lambda -0.0, w = -0.0 would come out +0.0 here but -0.0 there.)
// For a double, or a vector of them lane by lane.
template <class T>
[[gnu::always_inline]] inline T sgd_weight_without_penalty(T w, T g, double eta) {
  const T change = eta * g;
  return w - change;
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
// with PassOutput::InPlaceSavingOld (it receives the old weights). In
// blocks of lanes: see common/lanes.hpp.
template <PassOutput kOutput>
struct SgdPass {
  static constexpr bool kWrite = kOutput != PassOutput::None;

  template <std::size_t kWidth>
  [[gnu::always_inline]] static void block(double* __restrict weights, const double* __restrict x,
                                           double* __restrict out, std::size_t i, double g,
                                           double eta, double lambda,
                                           std::uint64_t* __restrict bits) {
    for (std::size_t l = 0; l < kWidth; ++l) {
      const double old = weights[i + l];
      const double next = sgd_weight(old, x[i + l] * g, eta, lambda).weight;
      bits[l] |= non_finite_bit(next);
      if constexpr (kOutput == PassOutput::InPlaceSavingOld) out[i + l] = old;
      if constexpr (kWrite) weights[i + l] = next;
    }
  }

  template <std::size_t kLanes>
  [[gnu::always_inline]] static bool run(double* __restrict weights, const double* __restrict x,
                                         double* __restrict out, std::size_t n, double g,
                                         double eta, double lambda) {
    return none_non_finite(over_blocks<kLanes>(n, [&](auto width, std::size_t i, std::uint64_t* bits) {
      block<width()>(weights, x, out, i, g, eta, lambda, bits);
    }));
  }
};

template <PassOutput kOutput>
[[gnu::always_inline]] inline bool sgd_pass(double* weights, const double* x, double* out,
                                            std::size_t n, double g, double eta, double lambda) {
  return Dispatched<SgdPass<kOutput>>::run(weights, x, out, n, g, eta, lambda);
}

}  // namespace drel
