// The input checks both optimizers run before computing anything, in their
// fixed order: weights length, gradient length, gradient values, the counter.
#pragma once

#include <cstdint>
#include <span>

#include "error/error.hpp"

namespace drel {

// Whether a step must still check its gradients for finiteness. A model hands
// over gradients it has just checked one by one, on which those checks cannot
// fail; skipping them changes no outcome.
enum class GradientCheck { Required, AlreadyDone };

// The optimizer's next samples_seen, or the first failing check.
[[nodiscard]] Result<std::uint64_t> check_step_inputs(std::uint64_t feature_count,
                                                      std::size_t weight_count,
                                                      std::span<const double> grad_weights,
                                                      double grad_intercept,
                                                      std::uint64_t samples_seen,
                                                      const char* sample_name,
                                                      GradientCheck check);

}  // namespace drel
