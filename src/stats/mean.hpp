// Running arithmetic mean.
#pragma once

#include <cstdint>

#include "error/error.hpp"
#include "error/guards.hpp"

namespace drel {

struct Mean {
  std::uint64_t count = 0;
  double mean = 0.0;

  // Inline: the one-sample call and the bulk loop run this very step.
  [[nodiscard]] Status update(double x) {
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
  double value() const { return mean; }
};

}  // namespace drel
