// Running variance by Welford's one-pass method.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "error/error.hpp"

namespace drel {

enum class VarianceKind { Population, Sample };

// "population" or "sample", exact and case-sensitive; nullopt for anything else.
std::optional<VarianceKind> variance_kind_from_text(std::string_view text);

struct Variance {
  std::uint64_t count = 0;
  double mean = 0.0;
  double m2 = 0.0;
  VarianceKind kind = VarianceKind::Population;

  static Variance create(VarianceKind kind) { return Variance{0, 0.0, 0.0, kind}; }

  [[nodiscard]] Status update(double x);
  // Absent until one (Population) or two (Sample) values have been absorbed.
  std::optional<double> value() const;
  std::optional<double> stddev() const;
};

}  // namespace drel
