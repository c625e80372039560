// Optimizers and losses chosen by settings: each is built by its own checked
// constructor (Sgd::create, AdaGrad::create, huber_loss).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "config/optimizer_table.hpp"
#include "error/error.hpp"
#include "loss/loss.hpp"
#include "optim/optimizer.hpp"

namespace drel {

// One optimizer chosen by kind (its index in Optimizer::variant, see
// optimizer_kind<O>), with a value for every setting of kOptimizerSettings
// (values[setting_index("l2")] is the L2 penalty). An optimizer reads the
// settings its Config has and ignores the others.
struct OptimizerSettings {
  std::size_t kind = 0;
  std::array<double, kOptimizerSettingCount> values = [] {
    std::array<double, kOptimizerSettingCount> defaults{};
    for (std::size_t i = 0; i < kOptimizerSettingCount; ++i)
      defaults[i] = kOptimizerSettings[i].default_value;
    return defaults;
  }();
};

enum class RegressionLossKind { SquaredError, Huber };

struct RegressionLossSettings {
  RegressionLossKind kind = RegressionLossKind::SquaredError;
  double huber_delta = 1.0;  // Huber only; ignored for the squared error
};

// O::create with its settings, as an optimizer.
template <class O>
[[nodiscard]] Result<Optimizer> make_optimizer(std::uint64_t feature_count,
                                               const typename O::Config& config) {
  Result<O> built = O::create(feature_count, config);
  if (!built) return fail(std::move(built.error()));
  return Optimizer{std::move(*built)};
}

// The optimizer of the settings' kind, built from the settings it has; a kind
// no optimizer has is refused as an invalid `optimizer`.
[[nodiscard]] Result<Optimizer> make_optimizer(std::uint64_t feature_count,
                                               const OptimizerSettings& settings);

// The Huber loss: delta finite, then delta >= 0 (negative zero passes).
[[nodiscard]] Result<RegressionLoss> huber_loss(double delta);

[[nodiscard]] Result<RegressionLoss> make_regression_loss(const RegressionLossSettings& settings);

}  // namespace drel
