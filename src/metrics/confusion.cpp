#include "metrics/confusion.hpp"

#include "error/guards.hpp"

namespace drel {
namespace {

double ratio_or_zero(std::uint64_t numerator, std::uint64_t denominator) {
  return denominator == 0 ? 0.0 : as_real(numerator) / as_real(denominator);
}

}  // namespace

std::optional<double> confusion_ratio(const Confusion& c, ConfusionRatio ratio) {
  const std::uint64_t total = c.count();
  if (total == 0) return std::nullopt;
  const std::uint64_t tp = c.true_positives;
  switch (ratio) {
    case ConfusionRatio::Accuracy:
      return as_real(tp + c.true_negatives) / as_real(total);
    case ConfusionRatio::Precision:
      return ratio_or_zero(tp, tp + c.false_positives);
    case ConfusionRatio::Recall:
      return ratio_or_zero(tp, tp + c.false_negatives);
    case ConfusionRatio::F1:
      // 2 tp / (2 tp + fp + fn): the harmonic mean of precision and recall
      // from the counts, without rounding the two ratios first. Counted in
      // reals, as 2 tp may not fit a u64.
    {
      const double numerator = 2.0 * as_real(tp);
      const double denominator =
          numerator + as_real(c.false_positives) + as_real(c.false_negatives);
      return denominator == 0.0 ? 0.0 : numerator / denominator;
    }
  }
  return std::nullopt;
}

}  // namespace drel
