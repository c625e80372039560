// Every streaming metric, declared once: the list below gives the rolling
// metric its variants and names, and the bindings their classes.
#pragma once

#include <array>
#include <string>
#include <cmath>
#include <string_view>
#include <utility>
#include <variant>

#include "metrics/confusion.hpp"
#include "metrics/log_loss.hpp"
#include "metrics/regression_metrics.hpp"
#include "metrics/roc_auc.hpp"
#include "metrics/rolling.hpp"

// X(Core, "Name"): the metric's core type and the name of its class.
#define DREL_METRICS(X)              \
  X(MeanAbsoluteError, "MAE")        \
  X(MeanSquaredError, "MSE")         \
  X(RootMeanSquaredError, "RMSE")    \
  X(R2, "R2")                        \
  X(Accuracy, "Accuracy")            \
  X(Precision, "Precision")          \
  X(Recall, "Recall")                \
  X(F1, "F1")                        \
  X(LogLoss, "LogLoss")              \
  X(RocAuc, "ROCAUC")

namespace drel {

constexpr std::string_view confusion_ratio_name(ConfusionRatio ratio) {
  switch (ratio) {
    case ConfusionRatio::Accuracy: return "Accuracy";
    case ConfusionRatio::Precision: return "Precision";
    case ConfusionRatio::Recall: return "Recall";
    case ConfusionRatio::F1: return "F1";
  }
  return "";
}

#define DREL_METRIC_NAME_(Core, Name) std::string_view(Name),
inline constexpr std::array rolling_metric_names{DREL_METRICS(DREL_METRIC_NAME_)};
#undef DREL_METRIC_NAME_

#define DREL_ROLLING_TYPE_(Core, Name) , Rolling<Core>
template <class First, class... Rest>
using RollingVariantOf = std::variant<Rest...>;
// A metric over a window, of any of the metrics.
struct RollingMetric {
  using Variant = RollingVariantOf<void DREL_METRICS(DREL_ROLLING_TYPE_)>;
  Variant variant;

  std::string_view metric_name() const { return rolling_metric_names[variant.index()]; }
  std::uint64_t window() const {
    return std::visit([](const auto& r) { return r.window; }, variant);
  }
  std::uint64_t count() const {
    return std::visit([](const auto& r) { return r.count(); }, variant);
  }
  std::optional<double> value() const {
    return std::visit([](const auto& r) { return r.value(); }, variant);
  }
  // Windows of one metric only (see Rolling::merge).
  [[nodiscard]] Status merge(const RollingMetric& other) {
    if (variant.index() != other.variant.index())
      return differing("metrics", std::string(metric_name()), std::string(other.metric_name()));
    return std::visit(
        [&](auto& r) { return r.merge(std::get<std::remove_cvref_t<decltype(r)>>(other.variant)); },
        variant);
  }
};
#undef DREL_ROLLING_TYPE_

// A stored sample as the metric takes it: bools must be exactly 0 or 1, and
// the sample must pass the metric's own checks when it is replayed.
template <class M>
Result<std::pair<typename M::Truth, typename M::Prediction>> window_sample(double t, double p) {
  using Sample = std::pair<typename M::Truth, typename M::Prediction>;
  const auto is_bit = [](double v) { return v == 0.0 || v == 1.0; };
  if constexpr (std::is_same_v<typename M::Truth, bool>) {
    if (!is_bit(t)) return fail(Error::invalid_model_state("a window's truth is not 0 or 1"));
  }
  if constexpr (std::is_same_v<typename M::Prediction, bool>) {
    if (!is_bit(p)) return fail(Error::invalid_model_state("a window's prediction is not 0 or 1"));
  }
  return Sample{static_cast<typename M::Truth>(t), static_cast<typename M::Prediction>(p)};
}

}  // namespace drel
