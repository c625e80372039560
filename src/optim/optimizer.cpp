#include "optim/optimizer.hpp"

#include "error/guards.hpp"

namespace drel {

Result<Optimizer> Optimizer::sgd(std::uint64_t feature_count, double learning_rate, double l2) {
  if (feature_count == 0) return fail(Error::empty_features());
  DREL_CHECK_FINITE("learning_rate", learning_rate);
  DREL_CHECK_FINITE("l2", l2);
  if (learning_rate <= 0.0) return fail(Error::invalid_learning_rate(learning_rate));
  if (l2 < 0.0) return fail(Error::invalid_parameter("l2", l2));
  return Optimizer{Sgd{feature_count, SgdConfig{learning_rate, l2}, 0}};
}

std::uint64_t Optimizer::feature_count() const {
  return std::visit([](const auto& o) { return o.feature_count; }, variant);
}

Status Optimizer::step(std::vector<double>& weights, double& intercept,
                       std::span<const double> grad_weights, double grad_intercept,
                       GradientCheck check) {
  return std::visit(
      [&](auto& o) { return o.step(weights, intercept, grad_weights, grad_intercept, check); },
      variant);
}

}  // namespace drel
