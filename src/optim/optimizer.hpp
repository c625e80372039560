// The optimizer slot of a linear model: Sgd or AdaGrad.
//
// The variant below is the one list of optimizers. Each optimizer declares
// itself: its config_name and Config (whose snapshot field table names its
// settings), its checked create and its step. The configuration's choices and
// keywords, the settings readers and the snapshot union derive from that
// (src/config/optimizer_table.hpp); what is the optimizer's own (its record,
// its fused step, its merge) is a compile error until written.
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
