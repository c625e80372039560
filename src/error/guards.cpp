#include "error/guards.hpp"

#include <string>

namespace drel {

std::unexpected<Error> non_finite(const char* name, double value) {
  return fail(Error::non_finite_value(name, value));
}

std::unexpected<Error> counter_overflow(const char* sample_name) {
  return fail(Error::invalid_model_state(std::string(sample_name) + " counter overflow"));
}

std::unexpected<Error> feature_shape(std::size_t size, std::uint64_t expected) {
  if (size == 0) return fail(Error::empty_features());
  return fail(Error::dimension_mismatch(expected, size));
}

}  // namespace drel
