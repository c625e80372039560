// Online linear regression: w . x + b, one optimizer step per learned sample.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "common/step_outcome.hpp"
#include "error/error.hpp"
#include "linear/learn_step.hpp"
#include "loss/loss.hpp"
#include "optim/optimizer.hpp"

namespace drel {

struct LinearRegression {
  std::uint64_t feature_count = 0;
  std::vector<double> weights;
  double intercept = 0.0;
  Optimizer optimizer;
  RegressionLoss loss;
  std::uint64_t samples_seen = 0;

  // The same parameter order as LogisticRegression::create: optimizer, then loss.
  [[nodiscard]] static Result<LinearRegression> create(std::uint64_t feature_count,
                                                       Optimizer optimizer, RegressionLoss loss);
  // What the Python constructor builds: Sgd without L2, squared error.
  [[nodiscard]] static Result<LinearRegression> with_sgd(std::uint64_t feature_count,
                                                         double learning_rate);

  [[nodiscard]] Result<double> predict_one(std::span<const double> x) const;
  [[nodiscard]] Status learn_one(std::span<const double> x, double y);

  // The checked forms: every check in its order, scratch copies, commit last.
  // The operations above run them only when their fast form defers.
  [[nodiscard]] Result<double> predict_one_checked(std::span<const double> x) const;
  [[nodiscard]] Status learn_one_checked(std::span<const double> x, double y);
};

// Whether the fast step takes a sample of this target at all.
[[gnu::always_inline]] inline bool fast_target(const LinearRegression&, double y) {
  return is_finite(y);
}

// The loss gradient of an output for target y; the prediction the output
// stands for is handed out in `prediction`.
[[gnu::always_inline]] inline auto output_gradient(const LinearRegression& m, double y,
                                                   double& prediction) {
  return [&m, y, &prediction](double p) __attribute__((always_inline)) {
    prediction = p;
    return m.loss.gradient(p, y);
  };
}

// The fast form of predict_one followed by learn_one on the same sample: the
// output the step differentiates is the prediction before the step, so it is
// computed once and handed out in `prediction` (valid when the step is Done).
template <Commit kCommit>
[[gnu::always_inline]] inline StepOutcome predict_learn_step(LinearRegression& m,
                                                             std::span<const double> x, double y,
                                                             double& prediction) {
  if (!fast_target(m, y)) [[unlikely]] return StepOutcome::Defer;
  return model_step<kCommit>(m, x, output_gradient(m, y, prediction));
}

// The fast form of learn_one (common/step_outcome.hpp).
template <Commit kCommit>
[[gnu::always_inline]] inline StepOutcome learn_step(LinearRegression& m,
                                                     std::span<const double> x, double y) {
  double unused;
  return predict_learn_step<kCommit>(m, x, y, unused);
}

}  // namespace drel
