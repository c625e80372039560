#include "metrics/regression_metrics.hpp"

namespace drel {

Status R2::merge(const R2& other) {
  DREL_ASSIGN_OR_RETURN(
      const Moments moments,
      combine({count, target_mean, target_m2}, {other.count, other.target_mean, other.target_m2},
              {"metric sample", "target delta", "target mean", "target M2"}));
  count = moments.count;
  target_mean = moments.mean;
  target_m2 = moments.m2;
  squared_errors.add(other.squared_errors);
  return {};
}

Status R2::validate() const {
  DREL_TRY(validate_error_sum(count, squared_errors));
  if (!is_finite(target_mean) || !is_finite(target_m2) || target_m2 < 0.0 ||
      (count == 0 && (target_mean != 0.0 || target_m2 != 0.0)))
    return fail(Error::invalid_model_state("R2's target moments are not those of a stream"));
  return {};
}

double r2_of(double sse, double sst) {
  if (sst == 0.0) return sse == 0.0 ? 1.0 : 0.0;
  return 1.0 - sse / sst;
}

std::optional<double> R2::value() const {
  if (count == 0) return std::nullopt;
  return r2_of(squared_errors.value(), target_m2);
}

}  // namespace drel
