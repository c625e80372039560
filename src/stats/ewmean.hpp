// Exponentially weighted mean: the newest value weighs `alpha`.
#pragma once

#include <cstdint>

#include "error/error.hpp"

namespace drel {

struct ExponentiallyWeightedMean {
  double alpha = 1.0;
  double mean = 0.0;
  std::uint64_t count = 0;

  // alpha must be finite and in (0, 1].
  [[nodiscard]] static Result<ExponentiallyWeightedMean> create(double alpha);

  [[nodiscard]] Status update(double x);
  double value() const { return mean; }
};

}  // namespace drel
