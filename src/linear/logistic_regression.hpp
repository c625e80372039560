// Online binary logistic regression.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "error/error.hpp"
#include "loss/loss.hpp"
#include "optim/optimizer.hpp"

namespace drel {

struct LogisticRegression {
  std::uint64_t feature_count = 0;
  std::vector<double> weights;
  double intercept = 0.0;
  Optimizer optimizer;
  BinaryLogLoss loss;
  std::uint64_t samples_seen = 0;

  [[nodiscard]] static Result<LogisticRegression> create(std::uint64_t feature_count,
                                                         Optimizer optimizer, BinaryLogLoss loss);
  // What the Python constructor builds: Sgd without L2, log loss with epsilon 1e-15.
  [[nodiscard]] static Result<LogisticRegression> with_sgd(std::uint64_t feature_count,
                                                           double learning_rate);

  [[nodiscard]] Result<double> predict_proba_one(std::span<const double> x) const;
  [[nodiscard]] Result<bool> predict_one(std::span<const double> x) const;
  [[nodiscard]] Status learn_one(std::span<const double> x, bool y);
};

// The logistic function in its overflow-free two-branch form.
double logistic(double z);

}  // namespace drel
