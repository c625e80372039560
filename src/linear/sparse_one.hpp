// One sample given as a sparse row through a bare linear model, on the live
// object: what learn_one, predict_one and predict_proba_one give on the same
// row made dense, bit for bit, at the cost of the row's stored values.
//
// Whether the stored values alone decide the result is a property of the
// whole state (linear/sparse_step.hpp): every weight finite for a prediction,
// the model sparse-exact for a step. Working that out reads every weight, so
// the caller keeps it in a SparseState between samples and this file keeps it
// up to date across its own steps. Of any other change of the model the
// caller learns by its own means, and asks again (sparse_state): a change can
// leave the sample count and the weights' storage as they were.
//
// A step here is the bulk loops' sparse step, which keeps the old values of
// what it writes and puts them back when a new one is not finite: where a
// check fails, the model is as it was and the caller runs the model's own
// dense call, which gives the result or the error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "bulk/sparse_rows.hpp"
#include "common/small_vector.hpp"
#include "common/step_outcome.hpp"
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

// sparse_learn_one with the old values of what it writes kept in `saved`
// (room for 2 * x.size doubles), which stay there after a step that is done.
template <class Model, class Target>
StepOutcome sparse_learn_kept(Model& m, const SparseRow& x, std::size_t cols, const Target& y,
                              SparseState& state, double* saved) {
  if (!state.exact) return StepOutcome::Defer;
  bool still_exact = true;
  const StepOutcome done = sparse_learn_step(m, x, cols, y, still_exact, PutBack{saved});
  if (done == StepOutcome::Done) state.exact = still_exact;  // touched weights are finite
  return done;
}

// learn_one on a row whose indices are strictly increasing and below `cols`:
// the bulk loops' sparse step on the live model, which puts back what it
// wrote when a new value is not finite. Done: absorbed, `state` kept. Defer:
// nothing written; run the dense learn_one.
template <class Model, class Target>
  requires std::is_same_v<Model, LinearRegression> || std::is_same_v<Model, LogisticRegression>
StepOutcome sparse_learn_one(Model& m, const SparseRow& x, std::size_t cols, const Target& y,
                             SparseState& state) {
  if (!state.exact) return StepOutcome::Defer;
  SmallVector saved(2 * x.size);  // room for a weight and an accumulator per stored value
  return sparse_learn_kept(m, x, cols, y, state, saved.data());
}

// f(m) with m's per-feature vectors (the weights and AdaGrad's accumulators)
// set aside, and put back after: f sees, copies or replaces only the model's
// numbers, at the cost of those alone. f keeps the optimizer's kind.
template <class Model, class F>
void with_vectors_aside(Model& m, F f) {
  std::vector<double> weights(std::move(m.weights));
  AdaGrad* a = std::get_if<AdaGrad>(&m.optimizer.variant);
  std::vector<double> accumulators(a ? std::move(a->grad_sq_weights) : std::vector<double>());
  f(m);  // empty vectors: nothing to allocate
  m.weights = std::move(weights);
  if (AdaGrad* b = std::get_if<AdaGrad>(&m.optimizer.variant))
    b->grad_sq_weights = std::move(accumulators);
}

// A sparse_learn_one that can be taken back once done, for a caller stepping
// several models on one sample: all of them, or none. The step writes the
// touched weights (and accumulators), whose old values its put-back buffer
// keeps, and a few numbers (the intercept, the counts, AdaGrad's intercept
// accumulator), which a copy of the model without its vectors keeps.
template <class Model>
class UndoableSparseLearn {
 public:
  template <class Target>
  StepOutcome take(Model& m, const SparseRow& x, std::size_t cols, const Target& y,
                   SparseState& state) {
    if (!state.exact) return StepOutcome::Defer;
    row_ = x;
    saved_.resize(2 * x.size);
    with_vectors_aside(m, [this](Model& numbers) { numbers_ = numbers; });
    return sparse_learn_kept(m, x, cols, y, state, saved_.data());
  }

  // The model as it was before take(), which gave Done: bit for bit, in the
  // same storage.
  void undo(Model& m) const& = delete;
  void undo(Model& m) && {
    if (AdaGrad* a = std::get_if<AdaGrad>(&m.optimizer.variant))
      put_back(PutBack{saved_.data()}, m.weights.data(), a->grad_sq_weights.data(), row_);
    else
      put_back(PutBack{saved_.data()}, m.weights.data(), row_);
    with_vectors_aside(m, [this](Model& numbers) { numbers = std::move(numbers_); });
  }

 private:
  SparseRow row_{};
  std::vector<double> saved_;
  Model numbers_;
};

}  // namespace drel
