#include "stats/variance.hpp"

#include <cmath>

#include "error/guards.hpp"
#include "stats/welford.hpp"

namespace drel {

std::optional<VarianceKind> variance_kind_from_text(std::string_view text) {
  if (text == "population") return VarianceKind::Population;
  if (text == "sample") return VarianceKind::Sample;
  return std::nullopt;
}

Status Variance::update(double x) {
  DREL_CHECK_FINITE("value", x);
  DREL_ASSIGN_OR_RETURN(const std::uint64_t next, checked_increment(count, "variance sample"));
  DREL_ASSIGN_OR_RETURN(const WelfordMoments moments,
                        welford_step(x, {mean, m2}, next,
                                     {"variance delta", "variance mean", "variance M2"}));
  count = next;
  mean = moments.mean;
  m2 = moments.m2;
  return {};
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
