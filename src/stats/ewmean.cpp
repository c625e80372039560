#include "stats/ewmean.hpp"

#include "error/guards.hpp"

namespace drel {

Result<ExponentiallyWeightedMean> ExponentiallyWeightedMean::create(double alpha) {
  DREL_CHECK_FINITE("alpha", alpha);
  if (alpha <= 0.0 || alpha > 1.0) return fail(Error::invalid_parameter("alpha", alpha));
  return ExponentiallyWeightedMean{alpha, 0.0, 0};
}

Status ExponentiallyWeightedMean::update(double x) {
  DREL_CHECK_FINITE("value", x);
  DREL_ASSIGN_OR_RETURN(const std::uint64_t next, checked_increment(count, "EW mean sample"));
  double new_mean = x;  // the first value is the mean outright: no warm-up bias towards 0
  if (count != 0) {
    const double w = 1.0 - alpha;
    const double a = w * mean;
    const double b = x * alpha;
    new_mean = a + b;
    DREL_CHECK_FINITE("EW mean", new_mean);
  }
  mean = new_mean;
  count = next;
  return {};
}

}  // namespace drel
