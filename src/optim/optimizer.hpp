// The optimizer slot of a linear model: Sgd or AdaGrad.
#pragma once

#include <cstdint>
#include <span>
#include <variant>
#include <vector>

#include "error/error.hpp"
#include "optim/step_checks.hpp"
#include "optim/adagrad.hpp"
#include "optim/sgd.hpp"

namespace drel {

struct Optimizer {
  std::variant<Sgd, AdaGrad> variant;

  // Sgd::create with SgdConfig{learning_rate, l2}.
  [[nodiscard]] static Result<Optimizer> sgd(std::uint64_t feature_count, double learning_rate,
                                             double l2);

  std::uint64_t feature_count() const;
  [[nodiscard]] Status step(std::vector<double>& weights, double& intercept,
                            std::span<const double> grad_weights, double grad_intercept,
                            GradientCheck check = GradientCheck::Required);
};

}  // namespace drel
