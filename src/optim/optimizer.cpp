#include "optim/optimizer.hpp"

#include <utility>

#include "error/guards.hpp"

namespace drel {

Result<Optimizer> Optimizer::sgd(std::uint64_t feature_count, double learning_rate, double l2) {
  DREL_ASSIGN_OR_RETURN(Sgd sgd, Sgd::create(feature_count, SgdConfig{learning_rate, l2}));
  return Optimizer{std::move(sgd)};
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
