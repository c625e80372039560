// Online binary logistic regression.
#pragma once

#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "common/select.hpp"
#include "common/step_outcome.hpp"
#include "error/error.hpp"
#include "linear/learn_step.hpp"
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

  // The checked forms (see LinearRegression).
  [[nodiscard]] Result<double> logit_checked(std::span<const double> x) const;
  [[nodiscard]] Status learn_one_checked(std::span<const double> x, bool y);
};

// The logistic function, overflow-free: 1 / (1 + exp(-z)) for z >= 0 and
// exp(z) / (1 + exp(z)) below, so the exponential only ever sees a
// non-positive number. Both cases share e = exp(-|z|) and differ only in the
// numerator, chosen by select (common/select.hpp): the sign of z, as often
// negative as not on real data, decides no branch. Each case rounds the same
// operations as its two-branch form, so the bits are the same
// (tests/cpp/logistic_test.cpp).
inline double logistic(double z) {
  const double e = std::exp(-std::fabs(z));
  const double numerator = select(z >= 0.0, 1.0, e);
  const double denominator = 1.0 + e;
  return numerator / denominator;
}

// logistic(z) >= 0.5, the class a logit predicts, without the exponential
// where its outcome is certain: for z >= 0 the denominator 1 + exp(-z) is at
// most 2; for z < -1e-6, exp(z) < 0.999999 keeps the quotient far below 0.5.
// The only branch asks whether z is that close to 0, which it rarely is; the
// sign of z, as often negative as not, decides no branch.
inline bool positive_class(double z) {
  if (std::fabs(z) <= 1e-6) [[unlikely]] return logistic(z) >= 0.5;
  return z >= 0.0;
}

// Every target goes the fast way.
[[gnu::always_inline]] inline bool fast_target(const LogisticRegression&, bool) { return true; }

// The loss gradient of a logit for target y; the probability it stands for is
// handed out in `probability`.
[[gnu::always_inline]] inline auto output_gradient(const LogisticRegression& m, bool y,
                                                   double& probability) {
  return [&m, y, &probability](double z) __attribute__((always_inline)) {
    probability = logistic(z);
    return m.loss.gradient(probability, y);
  };
}

// The fast form of predict_proba_one followed by learn_one on the same
// sample: the probability the step differentiates is the one predicted before
// the step, computed once and handed out in `probability` (valid when Done).
template <Commit kCommit>
[[gnu::always_inline]] inline StepOutcome predict_learn_step(LogisticRegression& m,
                                                             std::span<const double> x, bool y,
                                                             double& probability) {
  return model_step<kCommit>(m, x, output_gradient(m, y, probability));
}

// The fast form of learn_one (common/step_outcome.hpp).
template <Commit kCommit>
[[gnu::always_inline]] inline StepOutcome learn_step(LogisticRegression& m,
                                                     std::span<const double> x, bool y) {
  double unused;
  return predict_learn_step<kCommit>(m, x, y, unused);
}

}  // namespace drel
