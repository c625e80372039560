// Checked construction of every optimizer and loss the core supports. Optimizer::sgd
// exists beside the models; AdaGrad and the Huber loss had no checked constructor,
// since only snapshots created them. These apply the same rules as Optimizer::sgd.
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

// AdaGrad with zero accumulators. Checks, in the order of Optimizer::sgd: the
// feature count, then the finiteness of learning_rate, l2 and epsilon, then
// learning_rate > 0, l2 >= 0 and epsilon >= 0 (negative zero passes).
[[nodiscard]] Result<Optimizer> adagrad_optimizer(std::uint64_t feature_count,
                                                  const AdaGradConfig& config);

// Optimizer::sgd or adagrad_optimizer, as the settings say.
[[nodiscard]] Result<Optimizer> make_optimizer(std::uint64_t feature_count,
                                               const OptimizerSettings& settings);

// The Huber loss: delta finite, then delta >= 0 (negative zero passes).
[[nodiscard]] Result<RegressionLoss> huber_loss(double delta);

[[nodiscard]] Result<RegressionLoss> make_regression_loss(const RegressionLossSettings& settings);

}  // namespace drel
