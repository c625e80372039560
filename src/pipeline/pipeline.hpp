// A standard scaler in front of a linear model. Each stage commits on its own.
#pragma once

#include <cstdint>
#include <span>

#include "error/error.hpp"
#include "linear/linear_regression.hpp"
#include "linear/logistic_regression.hpp"
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
};

}  // namespace drel
