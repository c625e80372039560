// The arithmetic of one AdaGrad step, written once: the checked step
// (adagrad.cpp) and the fused pass of the models' fast path compute with these.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "common/lanes.hpp"
#include "error/guards.hpp"
#include "optim/adagrad.hpp"
#include "optim/sgd_step.hpp"  // PassOutput

namespace drel {

// One parameter's squared gradient, new accumulator and scale:
// q = g * g, G' = q + G, s = sqrt(eps + G').
struct AdaptiveScale {
  double square;
  double accumulator;
  double scale;
};

[[gnu::always_inline]] inline AdaptiveScale adaptive_scale(double g, double accumulator,
                                                          double epsilon) {
  const double q = g * g;
  const double new_accumulator = q + accumulator;
  const double radicand = epsilon + new_accumulator;
  return {q, new_accumulator, std::sqrt(radicand)};
}

// A weight's quantities in the order the step checks them.
struct AdaGradWeight {
  AdaptiveScale scale;
  double regularized_gradient;
  double weight;
};

// r = g + lambda * w, then w' = w - r * (eta / s).
[[gnu::always_inline]] inline AdaGradWeight adagrad_weight(double w, double g, double accumulator,
                                                          const AdaGradConfig& c) {
  const AdaptiveScale a = adaptive_scale(g, accumulator, c.epsilon);
  const double penalty = c.l2 * w;
  const double r = g + penalty;
  const double rate = c.learning_rate / a.scale;
  const double change = r * rate;
  return {a, r, w - change};
}

// The intercept's quantities: no penalty, b' = b - g * (eta / s).
struct AdaGradIntercept {
  AdaptiveScale scale;
  double intercept;
};

[[gnu::always_inline]] inline AdaGradIntercept adagrad_intercept(double b, double g,
                                                                double accumulator,
                                                                const AdaGradConfig& c) {
  const AdaptiveScale a = adaptive_scale(g, accumulator, c.epsilon);
  const double rate = c.learning_rate / a.scale;
  const double change = g * rate;
  return {a, b - change};
}

inline std::uint64_t non_finite_bits(const AdaptiveScale& a) {
  return non_finite_bit(a.square) | non_finite_bit(a.accumulator) | non_finite_bit(a.scale);
}

// One pass over the weights for a sample x whose loss gradient is g, testing
// every quantity the checked step names (AdaGrad's quantities do not all
// propagate: an infinite scale makes the rate 0). PassOutput::InPlace stores
// the new accumulators and weights as it goes. A plain loop: the compilers
// vectorise what they find worth it.
template <PassOutput kOutput>
struct AdaGradPass {
  static_assert(kOutput != PassOutput::InPlaceSavingOld);

  template <std::size_t kLanes>  // a plain loop whatever the lanes
  [[gnu::always_inline]] static bool run(double* __restrict weights,
                                         double* __restrict accumulators,
                                         const double* __restrict x, std::size_t n, double g,
                                         AdaGradConfig c) {
    std::uint64_t bad = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const double gw = x[i] * g;
      const AdaGradWeight s = adagrad_weight(weights[i], gw, accumulators[i], c);
      bad |= non_finite_bit(gw) | non_finite_bits(s.scale) |
             non_finite_bit(s.regularized_gradient) | non_finite_bit(s.weight);
      if constexpr (kOutput == PassOutput::InPlace) {
        accumulators[i] = s.scale.accumulator;
        weights[i] = s.weight;
      }
    }
    return none_non_finite(bad);
  }
};

template <PassOutput kOutput>
[[gnu::always_inline]] inline bool adagrad_pass(double* weights, double* accumulators,
                                                const double* x, std::size_t n, double g,
                                                const AdaGradConfig& c) {
  return Dispatched<AdaGradPass<kOutput>>::run(weights, accumulators, x, n, g, c);
}

}  // namespace drel
