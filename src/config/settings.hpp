// Optimizers and losses chosen by settings: each is built by its own checked
// constructor (Sgd::create, AdaGrad::create, huber_loss).
#pragma once

#include <cstdint>

#include "error/error.hpp"
#include "loss/loss.hpp"
#include "optim/optimizer.hpp"

namespace drel {

enum class OptimizerKind { Sgd, AdaGrad };

struct OptimizerSettings {
  OptimizerKind kind = OptimizerKind::Sgd;
  double learning_rate = 0.01;
  double l2 = 0.0;
  double epsilon = 1e-8;  // AdaGrad only; ignored for Sgd
};

enum class RegressionLossKind { SquaredError, Huber };

struct RegressionLossSettings {
  RegressionLossKind kind = RegressionLossKind::SquaredError;
  double huber_delta = 1.0;  // Huber only; ignored for the squared error
};

// AdaGrad::create as an optimizer.
[[nodiscard]] Result<Optimizer> adagrad_optimizer(std::uint64_t feature_count,
                                                  const AdaGradConfig& config);

// Optimizer::sgd or adagrad_optimizer, as the settings say.
[[nodiscard]] Result<Optimizer> make_optimizer(std::uint64_t feature_count,
                                               const OptimizerSettings& settings);

// The Huber loss: delta finite, then delta >= 0 (negative zero passes).
[[nodiscard]] Result<RegressionLoss> huber_loss(double delta);

[[nodiscard]] Result<RegressionLoss> make_regression_loss(const RegressionLossSettings& settings);

}  // namespace drel
