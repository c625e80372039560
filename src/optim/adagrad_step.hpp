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
  // Field by field: a copy of `a` as a whole is one memory statement that
  // keeps GCC from packing the pass's lanes.
  return {{a.square, a.accumulator, a.scale}, r, w - change};
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
// the new accumulators and weights as it goes. In blocks of lanes (see
// common/lanes.hpp): a square root and a division per weight, which one at a
// time wait on each other far longer than a block of them takes.
template <PassOutput kOutput>
struct AdaGradPass {
  static_assert(kOutput != PassOutput::InPlaceSavingOld);

  template <std::size_t kWidth>
  [[gnu::always_inline]] static void block(double* __restrict weights,
                                           double* __restrict accumulators,
                                           const double* __restrict x, std::size_t i, double g,
                                           AdaGradConfig c, std::uint64_t* __restrict bits) {
    for (std::size_t l = 0; l < kWidth; ++l) {
      const double gw = x[i + l] * g;
      const AdaGradWeight s = adagrad_weight(weights[i + l], gw, accumulators[i + l], c);
      bits[l] |= non_finite_bit(gw) | non_finite_bits(s.scale) |
                 non_finite_bit(s.regularized_gradient) | non_finite_bit(s.weight);
      if constexpr (kOutput == PassOutput::InPlace) {
        accumulators[i + l] = s.scale.accumulator;
        weights[i + l] = s.weight;
      }
    }
  }

  template <std::size_t kLanes>
  [[gnu::always_inline]] static bool run(double* __restrict weights,
                                         double* __restrict accumulators,
                                         const double* __restrict x, std::size_t n, double g,
                                         AdaGradConfig c) {
    return none_non_finite(over_blocks<kLanes>(n, [&](auto width, std::size_t i, std::uint64_t* bits) {
      block<width()>(weights, accumulators, x, i, g, c, bits);
    }));
  }
};

template <PassOutput kOutput>
[[gnu::always_inline]] inline bool adagrad_pass(double* weights, double* accumulators,
                                                const double* x, std::size_t n, double g,
                                                const AdaGradConfig& c) {
  return Dispatched<AdaGradPass<kOutput>>::run(weights, accumulators, x, n, g, c);
}

}  // namespace drel
