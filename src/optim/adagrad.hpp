// AdaGrad: per-parameter steps scaled by the root of the summed squared
// gradients.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "snapshot/record_field.hpp"
#include "error/error.hpp"
#include "optim/step_checks.hpp"

namespace drel {

struct AdaGradConfig {
  double learning_rate = 0.01;
  double l2 = 0.0;
  double epsilon = 1e-8;
};

struct AdaGrad {
  // The optimizer's name among the configuration's choices, and its settings.
  static constexpr std::string_view config_name = "adagrad";
  using Config = AdaGradConfig;

  std::uint64_t feature_count = 0;
  AdaGradConfig config;
  std::vector<double> grad_sq_weights;
  double grad_sq_intercept = 0.0;
  std::uint64_t samples_seen = 0;

  // Zero accumulators. Checks, in the order Sgd::create does: the feature
  // count, then that learning_rate, l2 and epsilon are finite, then
  // learning_rate > 0, l2 >= 0 and epsilon >= 0 (negative zero passes).
  [[nodiscard]] static Result<AdaGrad> create(std::uint64_t feature_count,
                                              const AdaGradConfig& config);

  [[nodiscard]] Status step(std::vector<double>& weights, double& intercept,
                            std::span<const double> grad_weights, double grad_intercept,
                            GradientCheck check = GradientCheck::Required);
};

}  // namespace drel

namespace drel::snapshot {

// The snapshot records (the config's keys are also the optimizer's settings).
template <>
struct RecordTraits<AdaGradConfig> {
  using R = AdaGradConfig;
  static constexpr std::string_view name = "AdaGradConfig";
  static constexpr std::tuple fields{field("learning_rate", &R::learning_rate),
                                     field("l2", &R::l2), field("epsilon", &R::epsilon)};
};

template <>
struct RecordTraits<AdaGrad> {
  using R = AdaGrad;
  static constexpr std::string_view name = "AdaGrad";
  static constexpr std::tuple fields{size_field("feature_count", &R::feature_count),
                                     field("config", &R::config),
                                     field("grad_sq_weights", &R::grad_sq_weights),
                                     field("grad_sq_intercept", &R::grad_sq_intercept),
                                     field("samples_seen", &R::samples_seen)};
};

}  // namespace drel::snapshot
