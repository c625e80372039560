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

  // Inline: the one-sample call and the bulk loop run this very step. The
  // checks are taken together, in one branch; a refused value goes to
  // refusal(), which takes them again in order to name the first that fails.
  [[nodiscard]] Status update(double x) {
    const std::uint64_t next = count + 1;
    const double delta = x - mean;
    const double new_mean = mean + delta / as_real(next);
    if ((next != 0) & is_finite(x) & is_finite(delta) & is_finite(new_mean)) [[likely]] {
      count = next;
      mean = new_mean;
      return {};
    }
    return refusal(x);
  }

  // The error of a value that update() refuses, named as the checks come in order.
  [[gnu::noinline, gnu::cold]] Status refusal(double x) const {
    DREL_CHECK_FINITE("value", x);
    DREL_ASSIGN_OR_RETURN(const std::uint64_t next, checked_increment(count, "mean sample"));
    const double delta = x - mean;
    DREL_CHECK_FINITE("mean delta", delta);
    DREL_CHECK_FINITE("mean", mean + delta / as_real(next));
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
