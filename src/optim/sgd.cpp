#include "optim/sgd.hpp"

#include <algorithm>

#include "common/small_vector.hpp"

#include "error/guards.hpp"
#include "optim/sgd_step.hpp"
#include "optim/step_checks.hpp"

namespace drel {
namespace {

// Names the first non-finite quantity, in the order the step computes them.
[[gnu::cold, gnu::noinline]] Status first_weight_failure(std::span<const double> weights,
                                                         std::span<const double> grad_weights,
                                                         double eta, double lambda) {
  for (std::size_t i = 0; i < weights.size(); ++i) {
    const SgdWeight s = sgd_weight(weights[i], grad_weights[i], eta, lambda);
    DREL_CHECK_FINITE("regularized gradient", s.regularized_gradient);
    DREL_CHECK_FINITE("weight", s.weight);
  }
  return {};
}

}  // namespace

Result<Sgd> Sgd::create(std::uint64_t feature_count, const SgdConfig& config) {
  if (feature_count == 0) return fail(Error::empty_features());
  DREL_CHECK_FINITE("learning_rate", config.learning_rate);
  DREL_CHECK_FINITE("l2", config.l2);
  if (config.learning_rate <= 0.0) return fail(Error::invalid_learning_rate(config.learning_rate));
  if (config.l2 < 0.0) return fail(Error::invalid_parameter("l2", config.l2));
  return Sgd{feature_count, config, 0};
}

Status Sgd::step(std::vector<double>& weights, double& intercept,
                 std::span<const double> grad_weights, double grad_intercept,
                 GradientCheck check) {
  DREL_ASSIGN_OR_RETURN(const std::uint64_t next,
                        check_step_inputs(feature_count, weights.size(), grad_weights,
                                          grad_intercept, samples_seen, "SGD sample", check));
  const double eta = config.learning_rate;
  const double lambda = config.l2;
  // The checks above guarantee weights.size() == grad_weights.size().
  SmallVector new_weights(weights.size());
  for (std::size_t i = 0; i < weights.size(); ++i) {
    const SgdWeight s = sgd_weight(weights[i], grad_weights[i], eta, lambda);
    if (!is_finite(s.regularized_gradient) || !is_finite(s.weight)) [[unlikely]]
      return first_weight_failure(weights, grad_weights, eta, lambda);
    new_weights[i] = s.weight;
  }
  const double new_intercept = sgd_intercept(intercept, grad_intercept, eta);
  DREL_CHECK_FINITE("intercept", new_intercept);
  std::copy(new_weights.begin(), new_weights.end(), weights.begin());
  intercept = new_intercept;
  samples_seen = next;
  return {};
}

}  // namespace drel
