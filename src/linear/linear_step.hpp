// What both linear models share: the checked affine output w . x + b and the
// gradient step that spreads one loss gradient over the weights.
#pragma once

#include <span>
#include <vector>

#include "error/error.hpp"
#include "optim/optimizer.hpp"

namespace drel {

// The quantity names a model reports for its output: each term, and the sum.
struct AffineNames {
  const char* term;
  const char* total;
};

// Sums the terms over the shorter of weights and x, then adds the intercept,
// checking every term and every partial sum. Allocates nothing.
[[nodiscard]] Result<double> checked_affine(std::span<const double> weights,
                                            std::span<const double> x, double intercept,
                                            const AffineNames& names);

// Checks the loss gradient, forms the weight gradients x_i * g and hands them to
// the optimizer, which commits all of it or nothing.
[[nodiscard]] Status step_on_loss_gradient(std::span<const double> x, double loss_gradient,
                                           std::vector<double>& weights, double& intercept,
                                           Optimizer& optimizer);

// The parameter count (weights plus intercept) check of both model constructors.
[[nodiscard]] Status check_model_shape(std::uint64_t feature_count, const Optimizer& optimizer);

// A model with zero weights, zero intercept and no samples, over the given parts.
template <class Model, class Loss>
[[nodiscard]] Result<Model> zero_model(std::uint64_t feature_count, Optimizer optimizer,
                                       Loss loss) {
  DREL_TRY(check_model_shape(feature_count, optimizer));
  return Model{feature_count, std::vector<double>(feature_count, 0.0), 0.0, std::move(optimizer),
               loss, 0};
}

}  // namespace drel
