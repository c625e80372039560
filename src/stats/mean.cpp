#include "stats/mean.hpp"

#include "error/guards.hpp"

namespace drel {

Status Mean::update(double x) {
  DREL_CHECK_FINITE("value", x);
  DREL_ASSIGN_OR_RETURN(const std::uint64_t next, checked_increment(count, "mean sample"));
  const double delta = x - mean;
  DREL_CHECK_FINITE("mean delta", delta);
  const double new_mean = mean + delta / as_real(next);
  DREL_CHECK_FINITE("mean", new_mean);
  count = next;
  mean = new_mean;
  return {};
}

}  // namespace drel
