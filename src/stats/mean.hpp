// Running arithmetic mean.
#pragma once

#include <cstdint>

#include "error/error.hpp"

namespace drel {

struct Mean {
  std::uint64_t count = 0;
  double mean = 0.0;

  [[nodiscard]] Status update(double x);
  double value() const { return mean; }
};

}  // namespace drel
