// One sample given as a sparse row through a bare linear model, on the live
// object: what learn_one, predict_one and predict_proba_one give on the same
// row made dense, bit for bit, at the cost of the row's stored values.
//
// Whether the stored values alone decide the result is a property of the
// whole state (linear/sparse_step.hpp): every weight finite for a prediction,
// the model sparse-exact for a step. Working that out reads every weight, so
// the caller keeps it in a SparseState between samples and this file keeps it
// up to date across its own steps. Any other change of the model moves its
// sample count or its weights' storage, which is how a caller knows to ask
// again (sparse_state).
//
// A step here checks before it writes: the touched weights' new values are
// computed and checked on the side, and written only when every check passes.
// Where a check might fail, nothing has been written and the caller runs the
// model's own dense call, which gives the result or the error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <type_traits>
#include <variant>

#include "bulk/sparse_rows.hpp"
#include "common/small_vector.hpp"
#include "common/step_outcome.hpp"
#include "common/visit.hpp"
#include "error/guards.hpp"
#include "linear/linear_regression.hpp"
#include "linear/logistic_regression.hpp"
#include "linear/sparse_step.hpp"

namespace drel {

struct SparseState {
  bool finite = false;  // every weight is finite: a prediction reads the stored values
  bool exact = false;   // sparse-exact: so does a step
};

template <class Model>
SparseState sparse_state(const Model& m) {
  std::uint64_t bad = 0;
  for (const double w : m.weights) bad |= non_finite_bit(w);
  const bool finite = none_non_finite(bad);
  return {finite, finite && sparse_exact(m)};
}

// The raw output (prediction or logit) over the stored values, when it is the
// dense one and every check of the dense call passes: finite weights, a row of
// the model's width, a finite result (as in fast_output). Otherwise nullopt.
template <class Model>
std::optional<double> sparse_output(const Model& m, const SparseRow& x, std::size_t cols,
                                    const SparseState& state) {
  if (!state.finite || cols == 0 || cols != m.feature_count || m.weights.size() != cols)
    return std::nullopt;
  const double out = sparse_affine_sum(m.weights.data(), x, m.intercept);
  if (!is_finite(out)) return std::nullopt;
  return out;
}

namespace sparse_one {

// The optimizer's part: the new intercept, then each touched weight (and
// accumulator) into `next`, checked as sparse_optimizer_step checks them;
// written only when all pass. `still_exact` as there.
inline bool optimizer_step(Sgd& o, std::vector<double>& weights, double& intercept,
                           const SparseRow& x, double g, bool& /*still_exact*/) {
  if (o.feature_count != weights.size() || o.samples_seen == kLastCount) return false;
  const double eta = o.config.learning_rate;
  const double lambda = o.config.l2;
  const double b = sgd_intercept(intercept, g, eta);
  if (!is_finite(b)) return false;
  double* const w = weights.data();
  SmallVector next(x.size);
  std::uint64_t bad = 0;
  for (std::size_t k = 0; k < x.size; ++k) {
    next[k] = sgd_weight(w[x.indices[k]], x.values[k] * g, eta, lambda).weight;
    bad |= non_finite_bit(next[k]);
  }
  if (!none_non_finite(bad)) return false;
  for (std::size_t k = 0; k < x.size; ++k) w[x.indices[k]] = next[k];
  intercept = b;
  ++o.samples_seen;
  return true;
}

inline bool optimizer_step(AdaGrad& o, std::vector<double>& weights, double& intercept,
                           const SparseRow& x, double g, bool& still_exact) {
  const std::size_t n = weights.size();
  if (o.feature_count != n || o.grad_sq_weights.size() != n || o.samples_seen == kLastCount)
    return false;
  const AdaGradIntercept b = adagrad_intercept(intercept, g, o.grad_sq_intercept, o.config);
  if (!none_non_finite(non_finite_bits(b.scale) | non_finite_bit(b.intercept))) return false;
  double* const w = weights.data();
  double* const accumulators = o.grad_sq_weights.data();
  SmallVector next(2 * x.size);  // the weights, then their accumulators
  std::uint64_t bad = 0, inexact = 0;
  for (std::size_t k = 0; k < x.size; ++k) {
    const std::size_t j = x.indices[k];
    const double gw = x.values[k] * g;
    const AdaGradWeight s = adagrad_weight(w[j], gw, accumulators[j], o.config);
    bad |= non_finite_bit(gw) | non_finite_bits(s.scale) | non_finite_bit(s.regularized_gradient) |
           non_finite_bit(s.weight);
    inexact |= non_finite_bit(o.config.learning_rate / s.scale.scale);
    next[k] = s.weight;
    next[x.size + k] = s.scale.accumulator;
  }
  if (!none_non_finite(bad)) return false;
  for (std::size_t k = 0; k < x.size; ++k) {
    w[x.indices[k]] = next[k];
    accumulators[x.indices[k]] = next[x.size + k];
  }
  if (!none_non_finite(inexact)) still_exact = false;
  o.grad_sq_intercept = b.scale.accumulator;
  intercept = b.intercept;
  ++o.samples_seen;
  return true;
}

// The checks of model_step (learn_step.hpp), in its order, then the optimizer's.
template <class Model, class Gradient>
StepOutcome model_step(Model& m, const SparseRow& x, std::size_t cols, SparseState& state,
                       Gradient gradient) {
  if (!state.exact || m.samples_seen == kLastCount) return StepOutcome::Defer;
  const std::optional<double> out = sparse_output(m, x, cols, state);
  if (!out) return StepOutcome::Defer;
  const double g = gradient(*out);
  if (!is_finite(g)) return StepOutcome::Defer;
  bool still_exact = true;
  const bool done = std::visit(
      [&](auto& o) { return optimizer_step(o, m.weights, m.intercept, x, g, still_exact); },
      m.optimizer.variant);
  if (!done) return StepOutcome::Defer;
  ++m.samples_seen;
  state.exact = still_exact;  // every touched weight is finite, the others unchanged
  return StepOutcome::Done;
}

}  // namespace sparse_one

// learn_one on a row whose indices are strictly increasing and below `cols`.
// Done: absorbed, `state` kept. Defer: nothing written; run the dense learn_one.
inline StepOutcome sparse_learn_one(LinearRegression& m, const SparseRow& x, std::size_t cols,
                                    double y, SparseState& state) {
  if (!is_finite(y)) return StepOutcome::Defer;
  return sparse_one::model_step(m, x, cols, state,
                                [&m, y](double p) { return m.loss.gradient(p, y); });
}

inline StepOutcome sparse_learn_one(LogisticRegression& m, const SparseRow& x, std::size_t cols,
                                    bool y, SparseState& state) {
  return sparse_one::model_step(
      m, x, cols, state, [&m, y](double z) { return m.loss.gradient(logistic(z), y); });
}

}  // namespace drel
