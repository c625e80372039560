#include "config/settings.hpp"

#include <vector>

#include "error/guards.hpp"

namespace drel {

Result<Optimizer> adagrad_optimizer(std::uint64_t feature_count, const AdaGradConfig& config) {
  if (feature_count == 0) return fail(Error::empty_features());
  DREL_CHECK_FINITE("learning_rate", config.learning_rate);
  DREL_CHECK_FINITE("l2", config.l2);
  DREL_CHECK_FINITE("epsilon", config.epsilon);
  if (config.learning_rate <= 0.0) return fail(Error::invalid_learning_rate(config.learning_rate));
  if (config.l2 < 0.0) return fail(Error::invalid_parameter("l2", config.l2));
  if (config.epsilon < 0.0) return fail(Error::invalid_parameter("epsilon", config.epsilon));
  return Optimizer{AdaGrad{feature_count, config, std::vector<double>(feature_count, 0.0), 0.0, 0}};
}

Result<Optimizer> make_optimizer(std::uint64_t feature_count, const OptimizerSettings& settings) {
  if (settings.kind == OptimizerKind::Sgd)
    return Optimizer::sgd(feature_count, settings.learning_rate, settings.l2);
  return adagrad_optimizer(feature_count,
                           AdaGradConfig{settings.learning_rate, settings.l2, settings.epsilon});
}

Result<RegressionLoss> huber_loss(double delta) {
  DREL_CHECK_FINITE("delta", delta);
  if (delta < 0.0) return fail(Error::invalid_parameter("delta", delta));
  return RegressionLoss{HuberLoss{delta}};
}

Result<RegressionLoss> make_regression_loss(const RegressionLossSettings& settings) {
  if (settings.kind == RegressionLossKind::SquaredError) return RegressionLoss{SquaredError{}};
  return huber_loss(settings.huber_delta);
}

}  // namespace drel
