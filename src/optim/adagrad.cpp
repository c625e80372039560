#include "optim/adagrad.hpp"

#include <cmath>

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
  DREL_TRY(check_finite(names.square, q));
  const double new_accumulator = q + accumulator;
  DREL_TRY(check_finite(names.accumulator, new_accumulator));
  const double radicand = epsilon + new_accumulator;
  const double s = std::sqrt(radicand);
  DREL_TRY(check_finite(names.scale, s));
  return AdaptiveScale{new_accumulator, s};
}

}  // namespace

Status AdaGrad::step(std::vector<double>& weights, double& intercept,
                     std::span<const double> grad_weights, double grad_intercept) {
  DREL_ASSIGN_OR_RETURN(const std::uint64_t next,
                        check_step_inputs(feature_count, weights.size(), grad_weights,
                                          grad_intercept, samples_seen, "AdaGrad sample"));
  // A loaded state may carry another number of accumulators than weights; reading
  // one per weight would then run past the vector, so such a step is refused whole.
  if (grad_sq_weights.size() != feature_count)
    return fail(Error::dimension_mismatch(feature_count, grad_sq_weights.size()));

  const double eta = config.learning_rate;
  const double lambda = config.l2;
  const double epsilon = config.epsilon;
  std::vector<double> new_accumulators(weights.size());
  std::vector<double> new_weights(weights.size());
  for (std::size_t i = 0; i < weights.size(); ++i) {
    const double g = grad_weights[i];
    const double w = weights[i];
    DREL_ASSIGN_OR_RETURN(const AdaptiveScale a,
                          adaptive_scale(g, grad_sq_weights[i], epsilon, kWeightNames));
    const double penalty = lambda * w;
    const double r = g + penalty;
    DREL_TRY(check_finite("regularized gradient", r));
    const double rate = eta / a.scale;
    const double change = r * rate;
    const double new_w = w - change;
    DREL_TRY(check_finite("weight", new_w));
    new_accumulators[i] = a.accumulator;
    new_weights[i] = new_w;
  }

  DREL_ASSIGN_OR_RETURN(const AdaptiveScale b, adaptive_scale(grad_intercept, grad_sq_intercept,
                                                              epsilon, kInterceptNames));
  const double intercept_rate = eta / b.scale;
  const double intercept_change = grad_intercept * intercept_rate;
  const double new_intercept = intercept - intercept_change;
  DREL_TRY(check_finite("intercept", new_intercept));

  grad_sq_weights = std::move(new_accumulators);
  grad_sq_intercept = b.accumulator;
  weights = std::move(new_weights);
  intercept = new_intercept;
  samples_seen = next;
  return {};
}

}  // namespace drel
