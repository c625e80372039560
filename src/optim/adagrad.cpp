#include "optim/adagrad.hpp"

#include <algorithm>

#include "common/small_vector.hpp"

#include "error/guards.hpp"
#include "optim/adagrad_step.hpp"
#include "optim/step_checks.hpp"

namespace drel {
namespace {

struct ScaleNames {
  const char* square;
  const char* accumulator;
  const char* scale;
};

constexpr ScaleNames kWeightNames{"squared gradient", "AdaGrad accumulator", "AdaGrad scale"};
constexpr ScaleNames kInterceptNames{"squared intercept gradient", "AdaGrad intercept accumulator",
                                     "AdaGrad intercept scale"};

Status check_scale(const AdaptiveScale& a, const ScaleNames& names) {
  DREL_CHECK_FINITE(names.square, a.square);
  DREL_CHECK_FINITE(names.accumulator, a.accumulator);
  DREL_CHECK_FINITE(names.scale, a.scale);
  return {};
}

}  // namespace

Result<AdaGrad> AdaGrad::create(std::uint64_t feature_count, const AdaGradConfig& config) {
  if (feature_count == 0) return fail(Error::empty_features());
  DREL_CHECK_FINITE("learning_rate", config.learning_rate);
  DREL_CHECK_FINITE("l2", config.l2);
  DREL_CHECK_FINITE("epsilon", config.epsilon);
  if (config.learning_rate <= 0.0) return fail(Error::invalid_learning_rate(config.learning_rate));
  if (config.l2 < 0.0) return fail(Error::invalid_parameter("l2", config.l2));
  if (config.epsilon < 0.0) return fail(Error::invalid_parameter("epsilon", config.epsilon));
  return AdaGrad{feature_count, config, std::vector<double>(feature_count, 0.0), 0.0, 0};
}

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

  SmallVector new_accumulators(weights.size());
  SmallVector new_weights(weights.size());
  for (std::size_t i = 0; i < weights.size(); ++i) {
    const AdaGradWeight s = adagrad_weight(weights[i], grad_weights[i], grad_sq_weights[i], config);
    DREL_TRY(check_scale(s.scale, kWeightNames));
    DREL_CHECK_FINITE("regularized gradient", s.regularized_gradient);
    DREL_CHECK_FINITE("weight", s.weight);
    new_accumulators[i] = s.scale.accumulator;
    new_weights[i] = s.weight;
  }

  const AdaGradIntercept b = adagrad_intercept(intercept, grad_intercept, grad_sq_intercept, config);
  DREL_TRY(check_scale(b.scale, kInterceptNames));
  DREL_CHECK_FINITE("intercept", b.intercept);

  std::copy(new_accumulators.begin(), new_accumulators.end(), grad_sq_weights.begin());
  grad_sq_intercept = b.scale.accumulator;
  std::copy(new_weights.begin(), new_weights.end(), weights.begin());
  intercept = b.intercept;
  samples_seen = next;
  return {};
}

}  // namespace drel
