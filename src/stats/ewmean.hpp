// Exponentially weighted mean: the newest value weighs `alpha`.
#pragma once

#include <cstdint>

#include "snapshot/record_field.hpp"
#include "error/error.hpp"
#include "error/guards.hpp"

namespace drel {

struct ExponentiallyWeightedMean {
  double alpha = 1.0;
  double mean = 0.0;
  std::uint64_t count = 0;

  // alpha must be finite and in (0, 1].
  [[nodiscard]] static Result<ExponentiallyWeightedMean> create(double alpha);

  // Inline: the one-sample call and the bulk loop run this very step.
  [[nodiscard]] Status update(double x) {
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
  double value() const { return mean; }
};

}  // namespace drel

namespace drel::snapshot {

// The snapshot record: its keys in the order they are written.
template <>
struct RecordTraits<ExponentiallyWeightedMean> {
  using R = ExponentiallyWeightedMean;
  static constexpr std::string_view name = "ExponentiallyWeightedMean";
  static constexpr std::tuple fields{field("alpha", &R::alpha), field("mean", &R::mean),
                                     field("count", &R::count)};
};

}  // namespace drel::snapshot
