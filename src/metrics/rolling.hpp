// A metric over the last `window` samples of a stream only. The window's
// samples are kept in arrival order; a new sample enters the metric, then the
// oldest leaves it by the metric's exact removal.
//
// "Exact" means the state after a removal is the state that would have been
// reached without the removed sample, bit for bit: the counts and the score
// tree are integers, and the sums are ExactSums, whose removal is exact. So a
// rolling metric's value equals, bit for bit, the metric of its window's
// samples alone. R2's target moments (Welford's, which cannot be undone
// exactly) are not kept: its window value computes them from the window's
// targets when it is read, by two passes (the exact mean, then the exact sum
// of the squared deviations from it).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "error/error.hpp"
#include "metrics/confusion.hpp"
#include "metrics/log_loss.hpp"
#include "metrics/regression_metrics.hpp"
#include "metrics/roc_auc.hpp"

namespace drel {

// Truths and predictions are kept as reals; a bool is 0 or 1.
template <class M>
struct MetricSample {
  static typename M::Truth truth(double t) { return static_cast<typename M::Truth>(t); }
  static typename M::Prediction prediction(double p) {
    return static_cast<typename M::Prediction>(p);
  }
};

// The state a window keeps for a metric: the metric itself, except for R2.
template <class M>
struct WindowState {
  using type = M;
};

// The squared errors of an R2 window; its targets are read from the window.
using R2Window = MeanSquaredError;
template <>
struct WindowState<R2> {
  using type = R2Window;
};

// R2 of a window's samples (see above); absent for an empty window.
std::optional<double> window_r2(const R2Window& errors, const std::vector<double>& truths);

template <class M>
struct Rolling {
  using Metric = M;
  using State = typename WindowState<M>::type;
  using Truth = typename M::Truth;
  using Prediction = typename M::Prediction;

  std::uint64_t window = 1;
  State state;
  // Ring buffers of the samples in the window; `oldest` indexes the first.
  std::vector<double> truths;
  std::vector<double> predictions;
  std::size_t oldest = 0;

  [[nodiscard]] static Result<Rolling> create(std::uint64_t window) {
    if (window == 0) return fail(Error::invalid_window_size());
    Rolling r;
    r.window = window;
    return r;
  }

  [[nodiscard]] Status update(Truth y_true, Prediction y_pred) {
    DREL_TRY(state.update(y_true, y_pred));
    const double t = static_cast<double>(y_true);
    const double p = static_cast<double>(y_pred);
    if (truths.size() < window) {
      truths.push_back(t);
      predictions.push_back(p);
      return {};
    }
    state.remove(MetricSample<M>::truth(truths[oldest]),
                 MetricSample<M>::prediction(predictions[oldest]));
    truths[oldest] = t;
    predictions[oldest] = p;
    oldest = oldest + 1 == truths.size() ? 0 : oldest + 1;
    return {};
  }

  // The window of `other`'s stream continuing this one's: its samples come
  // after ours, and the last `window` of both remain. Windows must be equal.
  [[nodiscard]] Status merge(const Rolling& other) {
    DREL_TRY(require_same("windows", window, other.window));
    Rolling merged = *this;
    Status status;
    other.for_each([&](double t, double p) {
      if (status) status = merged.update(MetricSample<M>::truth(t), MetricSample<M>::prediction(p));
    });
    DREL_TRY(status);
    *this = std::move(merged);
    return {};
  }

  std::uint64_t count() const { return truths.size(); }
  std::optional<double> value() const {
    if constexpr (std::is_same_v<M, R2>) {
      return window_r2(state, truths);
    } else {
      return state.value();
    }
  }

  // f(truth, prediction) for the window's samples, oldest first.
  template <class F>
  void for_each(F&& f) const {
    for (std::size_t i = 0; i < truths.size(); ++i) {
      const std::size_t at = (oldest + i) % truths.size();
      f(truths[at], predictions[at]);
    }
  }
};

}  // namespace drel
