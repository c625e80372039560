#include "stats/variance.hpp"

#include <cmath>

#include "error/guards.hpp"

namespace drel {

std::optional<VarianceKind> variance_kind_from_text(std::string_view text) {
  if (text == "population") return VarianceKind::Population;
  if (text == "sample") return VarianceKind::Sample;
  return std::nullopt;
}

Status Variance::update(double x) {
  DREL_TRY(check_finite("value", x));
  DREL_ASSIGN_OR_RETURN(const std::uint64_t next, checked_increment(count, "variance sample"));
  const double delta = x - mean;
  DREL_TRY(check_finite("variance delta", delta));
  const double new_mean = mean + delta / as_real(next);
  DREL_TRY(check_finite("variance mean", new_mean));
  const double delta2 = x - new_mean;
  DREL_TRY(check_finite("variance delta", delta2));
  const double product = delta * delta2;
  const double new_m2 = product + m2;
  DREL_TRY(check_finite("variance M2", new_m2));
  count = next;
  mean = new_mean;
  m2 = new_m2;
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
