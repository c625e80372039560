// Streaming regression metrics: mean absolute error, mean squared error, its
// root, and the coefficient of determination.
//
// The error sums are exact (ExactSum): each sample's term is rounded once
// (|y - p|, or (y - p)^2 from the rounded difference), and the sum of those
// terms is held without rounding. A value is that sum rounded once, then
// divided by the count. So the order of the samples, a split of the stream
// and its merge, and a removal after an addition change nothing, bit for bit.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>

#include "error/error.hpp"
#include "error/guards.hpp"
#include "merge/merge_rules.hpp"
#include "merge/moments.hpp"
#include "metrics/error_sum.hpp"
#include "metrics/exact_sum.hpp"
#include "stats/welford.hpp"

namespace drel {

// The checked difference of a regression sample.
DREL_GUARD Result<double> regression_error(double y_true, double y_pred) {
  DREL_CHECK_FINITE("y_true", y_true);
  DREL_CHECK_FINITE("y_pred", y_pred);
  const double error = y_true - y_pred;
  DREL_CHECK_FINITE("prediction error", error);
  return error;
}

DREL_GUARD Result<double> squared_error(double y_true, double y_pred) {
  DREL_ASSIGN_OR_RETURN(const double error, regression_error(y_true, y_pred));
  const double squared = error * error;
  DREL_CHECK_FINITE("squared error", squared);
  return squared;
}

[[gnu::always_inline]] inline Result<double> absolute_error(double y_true, double y_pred) {
  DREL_ASSIGN_OR_RETURN(const double error, regression_error(y_true, y_pred));
  return std::fabs(error);
}
[[gnu::always_inline]] inline Result<double> squared_error_term(double y_true, double y_pred) {
  return squared_error(y_true, y_pred);
}

using MeanAbsoluteError = ErrorSum<&absolute_error>;
using MeanSquaredError = ErrorSum<&squared_error_term>;
// The square root of the mean squared error, rounded once more.
using RootMeanSquaredError = ErrorSum<&squared_error_term, double, &square_root>;

// 1 - SSE / SST, with SST = n * (population variance of the targets). The
// targets' moments are Welford's (mean, M2), merged by the parallel formula;
// SSE is exact. As scikit-learn's r2_score: with constant targets (SST = 0)
// the value is 1 for a perfect fit and 0 otherwise.
struct R2 {
  using Truth = double;
  using Prediction = double;
  std::uint64_t count = 0;
  double target_mean = 0.0;
  double target_m2 = 0.0;
  ExactSum squared_errors;

  [[nodiscard, gnu::always_inline]] inline Status update(double y_true, double y_pred) {
    DREL_ASSIGN_OR_RETURN(const double squared, squared_error(y_true, y_pred));
    DREL_ASSIGN_OR_RETURN(const std::uint64_t next, checked_increment(count, "metric sample"));
    DREL_ASSIGN_OR_RETURN(
        const WelfordMoments moments,
        welford_step(y_true, {target_mean, target_m2}, next,
                     {"target delta", "target mean", "target M2"}));
    count = next;
    target_mean = moments.mean;
    target_m2 = moments.m2;
    squared_errors.add(squared);
    return {};
  }
  [[nodiscard]] Status merge(const R2& other);
  [[nodiscard]] Status validate() const;
  std::optional<double> value() const;
};

// The R2 of given SSE and SST (both >= 0).
double r2_of(double sse, double sst);

}  // namespace drel
