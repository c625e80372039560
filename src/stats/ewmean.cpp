#include "stats/ewmean.hpp"

#include "error/guards.hpp"

namespace drel {

Result<ExponentiallyWeightedMean> ExponentiallyWeightedMean::create(double alpha) {
  DREL_CHECK_FINITE("alpha", alpha);
  if (alpha <= 0.0 || alpha > 1.0) return fail(Error::invalid_parameter("alpha", alpha));
  return ExponentiallyWeightedMean{alpha, 0.0, 0};
}

}  // namespace drel
