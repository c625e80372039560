#include "metrics/error_sum.hpp"

namespace drel {

Status validate_error_sum(std::uint64_t count, const ExactSum& sum) {
  if (sum.value() < 0.0 || (count == 0 && !sum.is_zero()))
    return fail(Error::invalid_model_state("a metric's sum does not fit its count"));
  return {};
}

}  // namespace drel
