#include "optim/step_checks.hpp"

#include "error/guards.hpp"

namespace drel {

Result<std::uint64_t> check_step_inputs(std::uint64_t feature_count, std::size_t weight_count,
                                        std::span<const double> grad_weights,
                                        double grad_intercept, std::uint64_t samples_seen,
                                        const char* sample_name, GradientCheck check) {
  if (weight_count != feature_count)
    return fail(Error::dimension_mismatch(feature_count, weight_count));
  if (grad_weights.size() != weight_count)
    return fail(Error::dimension_mismatch(weight_count, grad_weights.size()));
  if (check == GradientCheck::Required) {
    for (double g : grad_weights) DREL_CHECK_FINITE("grad_weight", g);
    DREL_CHECK_FINITE("grad_intercept", grad_intercept);
  }
  return checked_increment(samples_seen, sample_name);
}

}  // namespace drel
