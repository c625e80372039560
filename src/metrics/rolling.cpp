#include "metrics/rolling.hpp"

namespace drel {

std::optional<double> window_r2(const R2Window& errors, const std::vector<double>& truths) {
  if (truths.empty()) return std::nullopt;
  ExactSum targets;
  for (double t : truths) targets.add(t);
  const double mean = targets.divided_by(truths.size());
  ExactSum deviations;
  for (double t : truths) {
    const double d = t - mean;
    deviations.add(d * d);
  }
  return r2_of(errors.sum.value(), deviations.value());
}

}  // namespace drel
