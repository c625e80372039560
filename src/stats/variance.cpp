#include "stats/variance.hpp"

#include <cmath>

#include "error/guards.hpp"

namespace drel {

std::optional<VarianceKind> variance_kind_from_text(std::string_view text) {
  if (text == "population") return VarianceKind::Population;
  if (text == "sample") return VarianceKind::Sample;
  return std::nullopt;
}

std::optional<double> Variance::value() const {
  if (kind == VarianceKind::Sample) {
    if (count < 2) return std::nullopt;
    return m2 / as_real(count - 1);
  }
  if (count < 1) return std::nullopt;
  return m2 / as_real(count);
}

std::optional<double> Variance::stddev() const {
  return value().transform([](double v) { return std::sqrt(v); });
}

}  // namespace drel
