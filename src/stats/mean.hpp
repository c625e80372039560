// Running arithmetic mean.
#pragma once

#include <cstdint>

#include "snapshot/record_field.hpp"
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

namespace drel::snapshot {

// The snapshot record: its keys in the order they are written.
template <>
struct RecordTraits<Mean> {
  static constexpr std::string_view name = "Mean";
  static constexpr std::tuple fields{field("count", &Mean::count), field("mean", &Mean::mean)};
};

}  // namespace drel::snapshot
