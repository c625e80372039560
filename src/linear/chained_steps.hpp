// Consecutive samples through a bare linear model trained by plain SGD, each
// predicted and learned exactly as predict_learn_step does it, for a caller
// that wants every prediction (progressive validation).
//
// A row's cost is a chain: the output (the products summed in index order),
// the loss gradient, the new weights, and from them the next row's output.
// Here the pass that writes each new weight also multiplies it by the next
// row's feature and adds the product to the next output, in index order: the
// next output needs no pass of its own, nor a reload of the weights just
// stored. With no L2 penalty, each new weight takes two rounded operations
// instead of four (sgd_weight_without_penalty). The bits are the same.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <variant>

#include "common/machine.hpp"
#include "error/guards.hpp"
#include "linear/learn_step.hpp"
#include "optim/sgd_step.hpp"

namespace drel {

using DoublePair = DoubleLanes2;

inline constexpr std::size_t kDoublesPerLine = 8;     // in a 64-byte cache line
inline constexpr std::size_t kPrefetchDoubles = 512;  // 4 KiB

[[gnu::always_inline]] inline DoublePair load_pair(const double* p) {
  DoublePair v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

[[gnu::always_inline]] inline void store_pair(double* p, DoublePair v) { std::memcpy(p, &v, sizeof v); }

// Whether the model's rows of `cols` features can go through chained_steps:
// plain SGD, every count consistent, few enough weights to keep the old ones
// on the stack.
template <class Model>
bool chains(const Model& m, std::size_t cols) {
  const Sgd* o = std::get_if<Sgd>(&m.optimizer.variant);
  return o != nullptr && cols != 0 && cols <= kStackWeights && m.feature_count == cols &&
         m.weights.size() == cols && o->feature_count == cols;
}

// Rows [0, count) of `rows` (`stride` apart, as many features as weights) go
// through the fast step one after the other, until one that the step would
// defer: the number of rows taken, each prediction written to `predictions`
// and handed to `observe(target, prediction)` in order. The model is left as
// predict_learn_step leaves it after those rows, the deferred row untouched.
// Predictions of std::nullptr_t are not written (chained_learn_steps).
// Requires chains(m, features).
template <class Model, class TargetColumn, class Predictions, class Observe>
[[gnu::always_inline]] inline std::size_t chained_steps(Model& m, const double* rows,
                                                        std::size_t stride,
                                                        const TargetColumn* y, std::size_t count,
                                                        Predictions predictions, Observe&& observe) {
  using Target = std::conditional_t<std::is_same_v<TargetColumn, double>, double, bool>;
  Sgd& o = std::get<Sgd>(m.optimizer.variant);
  // Neither counter may pass its last value.
  count = static_cast<std::size_t>(std::min<std::uint64_t>(
      {count, kLastCount - m.samples_seen, kLastCount - o.samples_seen}));
  if (count == 0) return 0;
  const std::size_t n = m.weights.size();
  double* const w = m.weights.data();
  const double eta = o.config.learning_rate;
  const double lambda = o.config.l2;
  double b = m.intercept;
  double sum = ordered_dot(w, rows, n);
  std::size_t j = 0;
  const auto run = [&]<bool kPenalty>() __attribute__((always_inline)) {
    for (; j < count; ++j) {
      const double* x = rows + j * stride;
      // The last row has no next one: its products go nowhere.
      const double* next = j + 1 < count ? x + stride : x;
      // Rows 4 KiB further on their way to the cache: the processor's own
      // prefetcher stops at a page boundary and starts again only after a
      // miss, which the chain, reading the next row, would wait for.
      for (std::size_t k = 0; k < n; k += kDoublesPerLine) {
        prefetch_for_read(next + kPrefetchDoubles + k);
      }
      const auto target = static_cast<Target>(y[j]);
      const double out = sum + b;
      // As fast_output: a finite output proves every check of the prediction.
      if (!is_finite(out) || !fast_target(m, target)) [[unlikely]] return;
      double prediction;
      const double g = output_gradient(m, target, prediction)(out);
      if (!is_finite(g)) [[unlikely]] return;
      const double b_next = sgd_intercept(b, g, eta);
      if (!is_finite(b_next)) [[unlikely]] return;
      double saved[kStackWeights];
      double next_sum = 0.0;
      std::size_t i = 0;
      if constexpr (!kPenalty) {
        // Two weights at a time in one vector (each lane rounds as a double
        // does); their products go into the sum one after the other.
        for (; i + 2 <= n; i += 2) {
          const DoublePair old = load_pair(w + i);
          const DoublePair weight = sgd_weight_without_penalty(old, load_pair(x + i) * g, eta);
          store_pair(saved + i, old);
          store_pair(w + i, weight);
          const DoublePair product = weight * load_pair(next + i);
          next_sum = next_sum + product[0];
          next_sum = next_sum + product[1];
        }
      }
      for (; i < n; ++i) {
        const double old = w[i];
        const double grad = x[i] * g;
        const double weight = kPenalty ? sgd_weight(old, grad, eta, lambda).weight
                                       : sgd_weight_without_penalty(old, grad, eta);
        saved[i] = old;
        w[i] = weight;
        next_sum = next_sum + weight * next[i];
      }
      // A non-finite weight makes its product, and so the sum, non-finite
      // (0 * inf is NaN): only a non-finite sum asks which it was.
      if (!is_finite(next_sum)) [[unlikely]] {
        if (!std::all_of(w, w + n, [](double v) { return is_finite(v); })) {
          std::copy_n(saved, n, w);
          return;
        }
      }
      b = b_next;
      if constexpr (!std::is_null_pointer_v<Predictions>) predictions[j] = prediction;
      observe(y[j], prediction);
      sum = next_sum;
    }
  };
  if (std::bit_cast<std::uint64_t>(lambda) == 0) {
    run.template operator()<false>();
  } else {
    run.template operator()<true>();
  }
  m.intercept = b;
  m.samples_seen += j;
  o.samples_seen += j;
  return j;
}

// chained_steps for a caller that only learns: no prediction is written or
// observed, and the loop is compiled without them.
template <class Model, class TargetColumn>
[[gnu::always_inline]] inline std::size_t chained_learn_steps(Model& m, const double* rows,
                                                              std::size_t stride,
                                                              const TargetColumn* y,
                                                              std::size_t count) {
  return chained_steps(m, rows, stride, y, count, nullptr,
                       [](TargetColumn, double) __attribute__((always_inline)) {});
}

}  // namespace drel
