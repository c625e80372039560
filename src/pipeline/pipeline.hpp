// A standard scaler in front of a linear model. Each stage commits on its own.
#pragma once

#include <cstdint>
#include <span>

#include "common/step_outcome.hpp"
#include "error/error.hpp"
#include "error/guards.hpp"
#include "linear/linear_regression.hpp"
#include "linear/logistic_regression.hpp"
#include "pipeline/pipeline_step.hpp"
#include "preprocessing/standard_scaler.hpp"

namespace drel {

struct RegressionPipeline {
  StandardScalerState transformer;
  LinearRegression model;

  [[nodiscard]] static Result<RegressionPipeline> create(StandardScalerState transformer,
                                                         LinearRegression model);
  // Default scaler, then Sgd, then the model, then the pipeline.
  [[nodiscard]] static Result<RegressionPipeline> with_sgd(std::uint64_t feature_count,
                                                           double learning_rate);

  [[nodiscard]] Status learn_one(std::span<const double> x, double y);
  [[nodiscard]] Result<double> predict_one(std::span<const double> x) const;
  std::uint64_t samples_seen() const { return transformer.samples_seen(); }

  // The checked forms: each stage's operation in turn.
  [[nodiscard]] Status learn_one_checked(std::span<const double> x, double y);
  [[nodiscard]] Result<double> predict_one_checked(std::span<const double> x) const;
};

struct ClassificationPipeline {
  StandardScalerState transformer;
  LogisticRegression model;

  [[nodiscard]] static Result<ClassificationPipeline> create(StandardScalerState transformer,
                                                             LogisticRegression model);
  [[nodiscard]] static Result<ClassificationPipeline> with_sgd(std::uint64_t feature_count,
                                                               double learning_rate);

  [[nodiscard]] Status learn_one(std::span<const double> x, bool y);
  [[nodiscard]] Result<double> predict_proba_one(std::span<const double> x) const;
  [[nodiscard]] Result<bool> predict_one(std::span<const double> x) const;
  std::uint64_t samples_seen() const { return transformer.samples_seen(); }

  // The checked forms (see RegressionPipeline).
  [[nodiscard]] Status learn_one_checked(std::span<const double> x, bool y);
  [[nodiscard]] Result<double> logit_checked(std::span<const double> x) const;
};

// The fast forms of learn_one (common/step_outcome.hpp); `scratch` as
// pipeline_step describes it, `scaling` the scaler's.
template <Commit kCommit>
[[gnu::always_inline]] inline StepOutcome learn_step(RegressionPipeline& p,
                                                     std::span<const double> x, double y,
                                                     double* scratch, bool validated,
                                                     Scaling scaling) {
  if (!is_finite(y)) [[unlikely]] return StepOutcome::Defer;  // the target comes first
  return pipeline_step<kCommit>(p, x, y, scratch, validated, scaling);
}

template <Commit kCommit>
[[gnu::always_inline]] inline StepOutcome learn_step(ClassificationPipeline& p,
                                                     std::span<const double> x, bool y,
                                                     double* scratch, bool validated,
                                                     Scaling scaling) {
  return pipeline_step<kCommit>(p, x, y, scratch, validated, scaling);
}

}  // namespace drel
