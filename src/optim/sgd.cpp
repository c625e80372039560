#include "optim/sgd.hpp"

#include <algorithm>

#include "common/small_vector.hpp"

#include "error/guards.hpp"
#include "optim/step_checks.hpp"

namespace drel {

Status Sgd::step(std::vector<double>& weights, double& intercept,
                 std::span<const double> grad_weights, double grad_intercept) {
  DREL_ASSIGN_OR_RETURN(const std::uint64_t next,
                        check_step_inputs(feature_count, weights.size(), grad_weights,
                                          grad_intercept, samples_seen, "SGD sample"));
  const double eta = config.learning_rate;
  const double lambda = config.l2;
  // The checks above guarantee weights.size() == grad_weights.size().
  SmallVector new_weights(weights.size());
  for (std::size_t i = 0; i < weights.size(); ++i) {
    const double w = weights[i];
    const double penalty = lambda * w;
    const double r = penalty + grad_weights[i];
    DREL_CHECK_FINITE("regularized gradient", r);
    const double change = eta * r;
    const double new_w = w - change;
    DREL_CHECK_FINITE("weight", new_w);
    new_weights[i] = new_w;
  }
  const double intercept_change = eta * grad_intercept;
  const double new_intercept = intercept - intercept_change;
  DREL_CHECK_FINITE("intercept", new_intercept);
  std::copy(new_weights.begin(), new_weights.end(), weights.begin());
  intercept = new_intercept;
  samples_seen = next;
  return {};
}

}  // namespace drel
