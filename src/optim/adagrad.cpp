#include "optim/adagrad.hpp"

#include <algorithm>
#include <cmath>

#include "common/small_vector.hpp"

#include "error/guards.hpp"
#include "optim/step_checks.hpp"

namespace drel {
namespace {

// One parameter's accumulator and scale: G' = g*g + G, s = sqrt(eps + G').
struct AdaptiveScale {
  double accumulator;
  double scale;
};

struct ScaleNames {
  const char* square;
  const char* accumulator;
  const char* scale;
};

constexpr ScaleNames kWeightNames{"squared gradient", "AdaGrad accumulator", "AdaGrad scale"};
constexpr ScaleNames kInterceptNames{"squared intercept gradient", "AdaGrad intercept accumulator",
                                     "AdaGrad intercept scale"};

Result<AdaptiveScale> adaptive_scale(double g, double accumulator, double epsilon,
                                     const ScaleNames& names) {
  const double q = g * g;
  DREL_CHECK_FINITE(names.square, q);
  const double new_accumulator = q + accumulator;
  DREL_CHECK_FINITE(names.accumulator, new_accumulator);
  const double radicand = epsilon + new_accumulator;
  const double s = std::sqrt(radicand);
  DREL_CHECK_FINITE(names.scale, s);
  return AdaptiveScale{new_accumulator, s};
}

}  // namespace

Status AdaGrad::step(std::vector<double>& weights, double& intercept,
                     std::span<const double> grad_weights, double grad_intercept,
                     GradientCheck check) {
  DREL_ASSIGN_OR_RETURN(const std::uint64_t next,
                        check_step_inputs(feature_count, weights.size(), grad_weights,
                                          grad_intercept, samples_seen, "AdaGrad sample", check));
  // A loaded state may carry another number of accumulators than weights; reading
  // one per weight would then run past the vector, so such a step is refused whole.
  if (grad_sq_weights.size() != feature_count)
    return fail(Error::dimension_mismatch(feature_count, grad_sq_weights.size()));

  const double eta = config.learning_rate;
  const double lambda = config.l2;
  const double epsilon = config.epsilon;
  SmallVector new_accumulators(weights.size());
  SmallVector new_weights(weights.size());
  for (std::size_t i = 0; i < weights.size(); ++i) {
    const double g = grad_weights[i];
    const double w = weights[i];
    DREL_ASSIGN_OR_RETURN(const AdaptiveScale a,
                          adaptive_scale(g, grad_sq_weights[i], epsilon, kWeightNames));
    const double penalty = lambda * w;
    const double r = g + penalty;
    DREL_CHECK_FINITE("regularized gradient", r);
    const double rate = eta / a.scale;
    const double change = r * rate;
    const double new_w = w - change;
    DREL_CHECK_FINITE("weight", new_w);
    new_accumulators[i] = a.accumulator;
    new_weights[i] = new_w;
  }

  DREL_ASSIGN_OR_RETURN(const AdaptiveScale b, adaptive_scale(grad_intercept, grad_sq_intercept,
                                                              epsilon, kInterceptNames));
  const double intercept_rate = eta / b.scale;
  const double intercept_change = grad_intercept * intercept_rate;
  const double new_intercept = intercept - intercept_change;
  DREL_CHECK_FINITE("intercept", new_intercept);

  std::copy(new_accumulators.begin(), new_accumulators.end(), grad_sq_weights.begin());
  grad_sq_intercept = b.accumulator;
  std::copy(new_weights.begin(), new_weights.end(), weights.begin());
  intercept = new_intercept;
  samples_seen = next;
  return {};
}

}  // namespace drel
