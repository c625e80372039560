#include "metrics/progressive.hpp"

namespace drel {

bool metric_scores_classes(const AnyMetric& metric) {
  return std::visit(
      []<class M>(const M& m) {
        if constexpr (std::is_same_v<M, RollingMetric>) {
          return std::visit([]<class R>(const R&) { return scores_classes<typename R::Metric>; },
                            m.variant);
        } else {
          return scores_classes<M>;
        }
      },
      metric);
}

std::optional<double> metric_value(const AnyMetric& metric) {
  return std::visit([](const auto& m) { return m.value(); }, metric);
}

}  // namespace drel

namespace drel {
// The bare linear models score and learn a row in one step; a change of that
// step's signature must not quietly fall back to two.
static_assert(ProgressiveValidation<LinearRegression>::kFused &&
              ProgressiveValidation<LogisticRegression>::kFused);
static_assert(!ProgressiveValidation<RegressionPipeline>::kFused);
}  // namespace drel
