// AdaGrad: per-parameter steps scaled by the root of the summed squared
// gradients.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

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
