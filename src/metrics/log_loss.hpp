// Mean binary log loss over bool truths and predicted probabilities of the
// positive class. A probability is clamped to [eps, 1 - eps] with eps = 1e-15
// (river's LogLoss and scikit-learn's log_loss before 1.5 clamp the same way)
// so that a confident mistake costs about 34.5 rather than infinity. The
// per-sample losses are summed exactly, as the regression errors are (ErrorSum).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>

#include "error/error.hpp"
#include "error/guards.hpp"
#include "metrics/error_sum.hpp"

namespace drel {

inline constexpr double kLogLossEpsilon = 1e-15;

// A finite probability in [0, 1], or the error naming what it is not.
DREL_GUARD Status check_probability(double p) {
  DREL_CHECK_FINITE("y_pred", p);
  if (p < 0.0 || p > 1.0) [[unlikely]] return fail(Error::invalid_probability(p));
  return {};
}

// -log of the clamped probability given to the true class; p already checked.
inline double log_loss_term(bool y_true, double p) {
  const double clamped = std::clamp(p, kLogLossEpsilon, 1.0 - kLogLossEpsilon);
  return y_true ? -std::log(clamped) : -std::log(1.0 - clamped);
}

[[gnu::always_inline]] inline Result<double> checked_log_loss_term(bool y_true, double p) {
  DREL_TRY(check_probability(p));
  return log_loss_term(y_true, p);
}

using LogLoss = ErrorSum<&checked_log_loss_term, bool>;

}  // namespace drel
