#include "config/settings.hpp"

#include <utility>
#include <variant>

#include "error/guards.hpp"

namespace drel {

Result<Optimizer> adagrad_optimizer(std::uint64_t feature_count, const AdaGradConfig& config) {
  DREL_ASSIGN_OR_RETURN(AdaGrad adagrad, AdaGrad::create(feature_count, config));
  return Optimizer{std::move(adagrad)};
}

// The kinds below name every alternative: a new one is a compile error until
// it has its kind, its settings and its case here.
static_assert(std::variant_size_v<decltype(Optimizer::variant)> == 2);
static_assert(std::variant_size_v<decltype(RegressionLoss::variant)> == 2);

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
