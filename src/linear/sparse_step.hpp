// A linear model's step on a sparse row, costing its stored values rather
// than its width, where that gives the dense step's result bit for bit.
//
// The dense step visits every feature. A feature x_i = +0 gives the term
// w_i * +0 = +-0 (w_i finite), and no partial sum is ever -0 (it starts at +0,
// and a rounded sum is -0 only when both operands are), so adding that term
// changes no sum: the output over the stored values alone is the dense one.
// The weight update of such a feature sees the weight gradient +-0 (its sign
// is the loss gradient's), and leaves the weight and its accumulator as they
// are only under conditions that the state decides: no L2 penalty, a finite
// weight that is not -0 (-0 - (-0) is +0), an AdaGrad accumulator that is not
// -0 and gives a finite rate. `zero_feature_exact` checks them literally, by
// running the update on both zero gradients; a model where they hold is
// "sparse-exact", and the sparse step keeps it so (see each optimizer step).
// Where it does not hold, the caller runs the dense step on the row.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <type_traits>
#include <variant>

#include "bulk/sparse_rows.hpp"
#include "common/step_outcome.hpp"
#include "common/visit.hpp"
#include "error/guards.hpp"
#include "linear/learn_step.hpp"
#include "linear/linear_regression.hpp"
#include "linear/logistic_regression.hpp"
#include "optim/adagrad_step.hpp"
#include "optim/sgd_step.hpp"

namespace drel {

[[gnu::always_inline]] inline bool same_bits(double a, double b) {
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

// Whether the update of weight w (accumulator G) with a zero feature passes
// every check and changes nothing, whichever the sign of the loss gradient.
inline bool zero_feature_exact(const Sgd& o, double w) {
  for (const double gw : {0.0, -0.0}) {
    const double next = sgd_weight(w, gw, o.config.learning_rate, o.config.l2).weight;
    if (!is_finite(next) || !same_bits(next, w)) return false;
  }
  return true;
}

inline bool zero_feature_exact(const AdaGrad& o, double w, double accumulator) {
  for (const double gw : {0.0, -0.0}) {
    const AdaGradWeight s = adagrad_weight(w, gw, accumulator, o.config);
    const std::uint64_t bad = non_finite_bits(s.scale) | non_finite_bit(s.regularized_gradient) |
                              non_finite_bit(s.weight);
    if (!none_non_finite(bad) || !same_bits(s.weight, w) ||
        !same_bits(s.scale.accumulator, accumulator))
      return false;
  }
  return true;
}

// Whether the model stays sparse-exact whatever it learns: a penalty moves
// every weight on every step. A model that fails this never takes the sparse
// step; one that passes it does whenever its weights are sparse-exact.
template <class Model>
bool sparse_config_allows(const Model& m) {
  return std::visit([](const auto& o) { return o.config.l2 == 0.0; }, m.optimizer.variant);
}

template <class Model>
bool sparse_exact(const Model& m) {
  const std::size_t n = m.weights.size();
  if (!sparse_config_allows(m)) return false;
  return std::visit(
      [&]<class O>(const O& o) {
        if constexpr (std::is_same_v<O, AdaGrad>) {
          if (o.grad_sq_weights.size() != n) return false;
          for (std::size_t i = 0; i < n; ++i)
            if (!zero_feature_exact(o, m.weights[i], o.grad_sq_weights[i])) return false;
        } else {
          for (std::size_t i = 0; i < n; ++i)
            if (!zero_feature_exact(o, m.weights[i])) return false;
        }
        return true;
      },
      m.optimizer.variant);
}

// w . x + b over the stored values: the dense sum when every weight is finite.
// Row: SparseRow (a SharedRow takes the overload below).
template <class Row>
[[gnu::always_inline]] inline double sparse_affine_sum(const double* w, const Row& x, double b) {
  double sum = 0.0;
  for (std::size_t k = 0; k < x.size; ++k) sum = sum + w[x.index(k)] * x.values[k];
  return sum + b;
}

// Over a row read in place, the same sum, with each row's indices found
// strictly increasing from 0 up to below the width as they are read (the
// first pass over a row does so at the cost of a subtraction and an AND per
// index, where a pass of its own would read them all again): a row that is
// not gives NaN, on which every step defers before it writes anything.
template <class Index>
[[gnu::always_inline]] inline double sparse_affine_sum(const double* w, const SharedRow<Index>& x,
                                                       double b) {
  // before - v is negative for every index exactly when each is above the one
  // before it, the first above -1 (in a wider type, so that nothing wraps).
  using Wide = std::conditional_t<(sizeof(Index) < sizeof(std::int64_t)), std::int64_t, __int128>;
  Wide before = -1, ascending = -1;
  double sum = 0.0;
  for (std::size_t k = 0; k < x.size; ++k) {
    const Index v = load_once(x.indices + k);
    ascending &= before - v;
    before = v;
    sum = sum + w[clamped(v, x.last_index)] * x.values[k];
  }
  const bool within = ascending < 0 && before <= static_cast<Wide>(x.last_index);
  return x.size == 0 || within ? sum + b : std::numeric_limits<double>::quiet_NaN();
}

// What a sparse optimizer step does when a new value is not finite after it
// has written some: leaves them (Spoiled: the caller rebuilds the state), or
// puts back the old values it kept in `saved` (room for two per stored value),
// last written first, and defers: the state is then as before the step.
struct LeaveSpoiled {
  void keep(std::size_t, double) const {}
  void keep(std::size_t, double, double) const {}
};
struct PutBack {
  double* saved;
  [[gnu::always_inline]] void keep(std::size_t k, double w) const { saved[k] = w; }
  [[gnu::always_inline]] void keep(std::size_t k, double w, double accumulator) const {
    saved[2 * k] = w;
    saved[2 * k + 1] = accumulator;
  }
};

template <class Row>
[[gnu::noinline]] inline void put_back(const PutBack& undo, double* w, const Row& x) {
  for (std::size_t k = x.size; k-- > 0;) w[x.index(k)] = undo.saved[k];
}
template <class Row>
[[gnu::noinline]] inline void put_back(const PutBack& undo, double* w, double* accumulators,
                                       const Row& x) {
  for (std::size_t k = x.size; k-- > 0;) {
    const std::size_t j = x.index(k);
    w[j] = undo.saved[2 * k];
    accumulators[j] = undo.saved[2 * k + 1];
  }
}

// The optimizer's part of a sparse step, written in place (the bulk loops'
// private copy): the intercept first, then the stored features' weights.
// A touched SGD weight stays sparse-exact: it is finite (checked), and not -0,
// which w - change gives only for w = -0. A touched AdaGrad weight keeps its
// new accumulator (q + G, never -0 for G that is not -0) and scale, so a
// later zero feature sees this step's rate: it stays sparse-exact when that
// rate is finite, which `still_exact` records.
template <class Row, class Undo = LeaveSpoiled>
[[gnu::always_inline]] inline StepOutcome sparse_optimizer_step(Sgd& o, std::vector<double>& weights,
                                                                double& intercept, const Row& x,
                                                                double g, bool& /*still_exact*/,
                                                                Undo undo = {}) {
  if (o.feature_count != weights.size() || o.samples_seen == kLastCount) [[unlikely]]
    return StepOutcome::Defer;
  const double eta = o.config.learning_rate;
  const double lambda = o.config.l2;
  const double b = sgd_intercept(intercept, g, eta);
  if (!is_finite(b)) [[unlikely]] return StepOutcome::Defer;
  double* const w = weights.data();
  // The sum of the new weights is not finite when one of them is not (an
  // infinity or a NaN carries through every later sum): one addition per
  // weight rather than a test of its bits. With weights near the largest
  // double it can overflow while every one is finite: that step defers to
  // the checked form, which takes it all the same.
  const auto pass = [&](auto next_weight) __attribute__((always_inline)) {
    double sum = 0.0;
    for (std::size_t k = 0; k < x.size; ++k) {
      const std::size_t j = x.index(k);
      const double old = w[j];
      const double next = next_weight(old, x.values[k] * g);
      sum = sum + next;
      undo.keep(k, old);
      w[j] = next;
    }
    return is_finite(sum);
  };
  // A sparse-exact model has no penalty (lambda is +-0) and no weight that is
  // -0 or not finite, so lambda * w is +-0 and r = lambda * w + gw is gw,
  // or a zero when gw is one: eta * r is then a zero too, and w minus a zero
  // of either sign is w. Leaving the penalty out gives the same bits.
  const bool finite = lambda == 0.0
                          ? pass([eta](double old, double gw) { return old - eta * gw; })
                          : pass([eta, lambda](double old, double gw) {
                              return sgd_weight(old, gw, eta, lambda).weight;
                            });
  if (!finite) [[unlikely]] {
    if constexpr (std::is_same_v<Undo, PutBack>) {
      put_back(undo, w, x);
      return StepOutcome::Defer;
    }
    return StepOutcome::Spoiled;
  }
  intercept = b;
  ++o.samples_seen;
  return StepOutcome::Done;
}

template <class Row, class Undo = LeaveSpoiled>
[[gnu::always_inline]] inline StepOutcome sparse_optimizer_step(AdaGrad& o,
                                                                std::vector<double>& weights,
                                                                double& intercept, const Row& x,
                                                                double g, bool& still_exact,
                                                                Undo undo = {}) {
  const std::size_t n = weights.size();
  if (o.feature_count != n || o.grad_sq_weights.size() != n || o.samples_seen == kLastCount)
    [[unlikely]]
    return StepOutcome::Defer;
  const AdaGradIntercept b = adagrad_intercept(intercept, g, o.grad_sq_intercept, o.config);
  if (!none_non_finite(non_finite_bits(b.scale) | non_finite_bit(b.intercept))) [[unlikely]]
    return StepOutcome::Defer;
  double* const w = weights.data();
  double* const accumulators = o.grad_sq_weights.data();
  std::uint64_t bad = 0, inexact = 0;
  for (std::size_t k = 0; k < x.size; ++k) {
    const std::size_t j = x.index(k);
    const double gw = x.values[k] * g;
    const double old = w[j], old_accumulator = accumulators[j];
    const AdaGradWeight s = adagrad_weight(old, gw, old_accumulator, o.config);
    bad |= non_finite_bit(gw) | non_finite_bits(s.scale) | non_finite_bit(s.regularized_gradient) |
           non_finite_bit(s.weight);
    inexact |= non_finite_bit(o.config.learning_rate / s.scale.scale);
    undo.keep(k, old, old_accumulator);
    accumulators[j] = s.scale.accumulator;
    w[j] = s.weight;
  }
  if (!none_non_finite(bad)) [[unlikely]] {
    if constexpr (std::is_same_v<Undo, PutBack>) {
      put_back(undo, w, accumulators, x);
      return StepOutcome::Defer;
    }
    return StepOutcome::Spoiled;
  }
  if (!none_non_finite(inexact)) [[unlikely]] still_exact = false;
  o.grad_sq_intercept = b.scale.accumulator;
  intercept = b.intercept;
  ++o.samples_seen;
  return StepOutcome::Done;
}

// One sample through a sparse-exact model of `cols` features, in place. The
// same checks, in the same order, as model_step (learn_step.hpp).
template <class Model, class Row, class Gradient, class Undo = LeaveSpoiled>
[[gnu::always_inline]] inline StepOutcome sparse_model_step(Model& m, const Row& x,
                                                            std::size_t cols, Gradient gradient,
                                                            bool& still_exact, Undo undo = {}) {
  if (m.samples_seen == kLastCount) [[unlikely]] return StepOutcome::Defer;
  if (cols == 0 || cols != m.feature_count || m.weights.size() != cols) [[unlikely]]
    return StepOutcome::Defer;
  const double out = sparse_affine_sum(m.weights.data(), x, m.intercept);
  if (!is_finite(out)) [[unlikely]] return StepOutcome::Defer;
  const double g = gradient(out);
  if (!is_finite(g)) [[unlikely]] return StepOutcome::Defer;
  const auto step = [&](auto& optimizer) __attribute__((always_inline)) {
    return sparse_optimizer_step(optimizer, m.weights, m.intercept, x, g, still_exact, undo);
  };
  const StepOutcome done = visit_in_order(m.optimizer.variant, step);
  if (done == StepOutcome::Done) ++m.samples_seen;
  return done;
}

template <class Row, class Undo = LeaveSpoiled>
[[gnu::always_inline]] inline StepOutcome sparse_learn_step(LinearRegression& m, const Row& x,
                                                            std::size_t cols, double y,
                                                            bool& still_exact, Undo undo = {}) {
  if (!is_finite(y)) [[unlikely]] return StepOutcome::Defer;
  return sparse_model_step(
      m, x, cols, [&m, y](double p) { return m.loss.gradient(p, y); }, still_exact, undo);
}

template <class Row, class Undo = LeaveSpoiled>
[[gnu::always_inline]] inline StepOutcome sparse_learn_step(LogisticRegression& m, const Row& x,
                                                            std::size_t cols, bool y,
                                                            bool& still_exact, Undo undo = {}) {
  return sparse_model_step(
      m, x, cols, [&m, y](double z) { return m.loss.gradient(logistic(z), y); }, still_exact,
      undo);
}

}  // namespace drel
