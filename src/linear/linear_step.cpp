#include "linear/linear_step.hpp"

#include <algorithm>

#include "common/small_vector.hpp"

#include "error/guards.hpp"
#include "linear/learn_step.hpp"

namespace drel {

namespace {

// The same sum with a check after every term and every partial sum: it names
// the first quantity that went non-finite.
[[gnu::cold, gnu::noinline]] Result<double> replay_affine(std::span<const double> weights,
                                                          std::span<const double> x,
                                                          double intercept,
                                                          const AffineNames& names) {
  const std::size_t n = std::min(weights.size(), x.size());
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double term = weights[i] * x[i];
    DREL_CHECK_FINITE(names.term, term);
    sum = sum + term;
    DREL_CHECK_FINITE(names.total, sum);
  }
  const double out = sum + intercept;
  DREL_CHECK_FINITE(names.total, out);
  return out;
}

}  // namespace

Result<double> checked_affine(std::span<const double> weights, std::span<const double> x,
                              double intercept, const AffineNames& names) {
  // A loaded model may hold another number of weights than features.
  const std::size_t n = std::min(weights.size(), x.size());
  // Once a term or a partial sum is NaN or infinite, no later sum is finite
  // again, so a finite result proves that every check would have passed; only
  // a non-finite one needs the replay that names the first culprit.
  const double out = affine_sum(weights.data(), x.data(), n, intercept);
  if (is_finite(out)) [[likely]] return out;
  return replay_affine(weights, x, intercept, names);
}

Status step_on_loss_gradient(std::span<const double> x, double loss_gradient,
                             std::vector<double>& weights, double& intercept,
                             Optimizer& optimizer) {
  DREL_CHECK_FINITE("loss gradient", loss_gradient);
  SmallVector grad_weights(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double gw = x[i] * loss_gradient;
    DREL_CHECK_FINITE("weight gradient", gw);
    grad_weights[i] = gw;
  }
  return optimizer.step(weights, intercept, grad_weights, loss_gradient,
                        GradientCheck::AlreadyDone);
}

Status check_model_shape(std::uint64_t feature_count, const Optimizer& optimizer) {
  if (feature_count == 0) return fail(Error::empty_features());
  const std::uint64_t optimizer_count = optimizer.feature_count();
  if (optimizer_count != feature_count)
    return fail(Error::dimension_mismatch(feature_count + 1, optimizer_count + 1));
  return {};
}

}  // namespace drel
