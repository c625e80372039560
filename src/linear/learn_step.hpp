// The fast form of a linear model's prediction and learning step, shared by
// the one-sample operations and the bulk loops (see common/step_outcome.hpp).
// It computes exactly what the checked form computes, in the same order; it
// only tests less often, and hands over to the checked form whenever a test
// says that some check might fail.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <variant>
#include <vector>

#include "common/step_outcome.hpp"
#include "common/visit.hpp"
#include "error/guards.hpp"
#include "optim/adagrad_step.hpp"
#include "optim/optimizer.hpp"
#include "optim/sgd_step.hpp"

namespace drel {

inline constexpr std::uint64_t kLastCount = std::numeric_limits<std::uint64_t>::max();

// The models whose one-sample step keeps the old weights on the stack while
// it writes the new ones in place: at most this many weights (see
// optimizer_step). A wider one looks first and writes second.
inline constexpr std::size_t kStackWeights = 256;

// w . x: the terms summed in index order, from +0.0.
[[gnu::always_inline]] inline double ordered_dot(const double* w, const double* x, std::size_t n) {
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) sum = sum + w[i] * x[i];
  return sum;
}

// w . x + b: the intercept added last.
[[gnu::always_inline]] inline double affine_sum(const double* w, const double* x, std::size_t n,
                                                double b) {
  return ordered_dot(w, x, n) + b;
}

// The output of a consistent model (as many weights as features) for x, if
// every check of the prediction passes. A finite output proves that they all
// do: a non-finite feature makes its term non-finite (0 * inf is NaN), and a
// non-finite term or partial sum keeps every later sum non-finite.
template <class Model>
[[gnu::always_inline]] inline bool fast_output(const Model& m, std::span<const double> x,
                                               double& out) {
  const std::size_t n = x.size();
  if (n == 0 || n != m.feature_count || m.weights.size() != n) [[unlikely]] return false;
  out = affine_sum(m.weights.data(), x.data(), n, m.intercept);
  return is_finite(out);
}

// Up to this many weights, the pass runs inline in the step: at a few
// features the call into the dispatched vector build costs more than its
// vectors save. Both builds compute the same bits.
inline constexpr std::size_t kInlinePassWeights = 16;

// The new weights in place, every old one kept in `saved` (sized for
// kStackWeights) and put back when some new weight is not finite: one pass
// over the weights where looking first and writing second takes two.
[[gnu::always_inline]] inline bool sgd_in_place_or_restore(double* w, const double* x,
                                                          std::size_t n, double g, double eta,
                                                          double lambda, double* saved) {
  using Pass = SgdPass<PassOutput::InPlaceSavingOld>;
  if (n <= kInlinePassWeights ? Pass::run<kBaselineLanes>(w, x, saved, n, g, eta, lambda)
                              : sgd_pass<PassOutput::InPlaceSavingOld>(w, x, saved, n, g, eta,
                                                                       lambda)) [[likely]]
    return true;
  std::copy_n(saved, n, w);
  return false;
}

// The optimizer's part of a step: the new intercept first (it only needs g),
// then the pass over the weights.
template <Commit kCommit>
[[gnu::always_inline]] inline StepOutcome optimizer_step(Sgd& o, std::vector<double>& weights,
                                                         double& intercept, const double* x,
                                                         double g) {
  const std::size_t n = weights.size();
  if (o.feature_count != n || o.samples_seen == kLastCount) [[unlikely]] return StepOutcome::Defer;
  const double eta = o.config.learning_rate;
  const double lambda = o.config.l2;
  const double b = sgd_intercept(intercept, g, eta);
  if (!is_finite(b)) [[unlikely]] return StepOutcome::Defer;
  double* const w = weights.data();
  if constexpr (kCommit == Commit::CheckThenWrite) {
    // Every check passes before the state is seen to change: nothing else
    // can read the model during the step, and a failing pass puts every old
    // weight back before it returns.
    if (n <= kStackWeights) [[likely]] {
      double saved[kStackWeights];
      if (!sgd_in_place_or_restore(w, x, n, g, eta, lambda, saved)) [[unlikely]]
        return StepOutcome::Defer;
    } else {
      if (!sgd_pass<PassOutput::None>(w, x, nullptr, n, g, eta, lambda)) [[unlikely]]
        return StepOutcome::Defer;
      (void)sgd_pass<PassOutput::InPlace>(w, x, nullptr, n, g, eta, lambda);
    }
  } else {
    if (!sgd_pass<PassOutput::InPlace>(w, x, nullptr, n, g, eta, lambda)) [[unlikely]]
      return StepOutcome::Spoiled;
  }
  intercept = b;
  ++o.samples_seen;
  return StepOutcome::Done;
}

template <Commit kCommit>
inline StepOutcome optimizer_step(AdaGrad& o, std::vector<double>& weights, double& intercept,
                                  const double* x, double g) {
  const std::size_t n = weights.size();
  if (o.feature_count != n || o.grad_sq_weights.size() != n || o.samples_seen == kLastCount)
    return StepOutcome::Defer;
  const AdaGradIntercept b = adagrad_intercept(intercept, g, o.grad_sq_intercept, o.config);
  if (!none_non_finite(non_finite_bits(b.scale) | non_finite_bit(b.intercept)))
    return StepOutcome::Defer;
  double* accumulators = o.grad_sq_weights.data();
  if constexpr (kCommit == Commit::CheckThenWrite) {
    if (!adagrad_pass<PassOutput::None>(weights.data(), accumulators, x, n, g, o.config))
      return StepOutcome::Defer;
    (void)adagrad_pass<PassOutput::InPlace>(weights.data(), accumulators, x, n, g, o.config);
  } else {
    if (!adagrad_pass<PassOutput::InPlace>(weights.data(), accumulators, x, n, g, o.config))
      return StepOutcome::Spoiled;
  }
  o.grad_sq_intercept = b.scale.accumulator;
  intercept = b.intercept;
  ++o.samples_seen;
  return StepOutcome::Done;
}

// One sample through a linear model: the output, the loss gradient that
// `gradient` makes of it, the optimizer step, the counter.
template <Commit kCommit, class Model, class Gradient>
[[gnu::always_inline]] inline StepOutcome model_step(Model& m, std::span<const double> x,
                                                     Gradient gradient) {
  if (m.samples_seen == kLastCount) [[unlikely]] return StepOutcome::Defer;
  double out;
  if (!fast_output(m, x, out)) [[unlikely]] return StepOutcome::Defer;
  const double g = gradient(out);
  if (!is_finite(g)) [[unlikely]] return StepOutcome::Defer;
  // One optimizer_step overload per optimizer: one missing is a compile error here.
  const auto step = [&](auto& optimizer) __attribute__((always_inline)) {
    return optimizer_step<kCommit>(optimizer, m.weights, m.intercept, x.data(), g);
  };
  const StepOutcome done = visit_in_order(m.optimizer.variant, step);
  if (done == StepOutcome::Done) ++m.samples_seen;
  return done;
}

}  // namespace drel
