// Plain SGD with a constant learning rate and an L2 penalty on the weights.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "snapshot/record_field.hpp"
#include "error/error.hpp"
#include "optim/step_checks.hpp"

namespace drel {

struct SgdConfig {
  double learning_rate = 0.01;
  double l2 = 0.0;
};

struct Sgd {
  // The optimizer's name among the configuration's choices, and its settings.
  static constexpr std::string_view config_name = "sgd";
  using Config = SgdConfig;

  std::uint64_t feature_count = 0;
  SgdConfig config;
  std::uint64_t samples_seen = 0;

  // Checks the feature count, then that learning_rate and l2 are finite, then
  // learning_rate > 0 and l2 >= 0 (negative zero passes).
  [[nodiscard]] static Result<Sgd> create(std::uint64_t feature_count, const SgdConfig& config);

  // One whole step or nothing: the weights, the intercept and samples_seen
  // change only when every new value is finite.
  [[nodiscard]] Status step(std::vector<double>& weights, double& intercept,
                            std::span<const double> grad_weights, double grad_intercept,
                            GradientCheck check = GradientCheck::Required);
};

}  // namespace drel

namespace drel::snapshot {

// The snapshot records (the config's keys are also the optimizer's settings).
template <>
struct RecordTraits<SgdConfig> {
  static constexpr std::string_view name = "SgdConfig";
  static constexpr std::tuple fields{field("learning_rate", &SgdConfig::learning_rate),
                                     field("l2", &SgdConfig::l2)};
};

template <>
struct RecordTraits<Sgd> {
  static constexpr std::string_view name = "Sgd";
  static constexpr std::tuple fields{size_field("feature_count", &Sgd::feature_count),
                                     field("config", &Sgd::config),
                                     field("samples_seen", &Sgd::samples_seen)};
};

}  // namespace drel::snapshot
