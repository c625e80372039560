// Models, scaler and pipelines in any configuration the core supports, built
// through the core's checked constructors so that a bad setting is reported
// with the core's own error. With the default settings each builds exactly
// what the matching with_sgd constructor builds.
#pragma once

#include <cstdint>

#include "config/settings.hpp"
#include "error/error.hpp"
#include "linear/linear_regression.hpp"
#include "linear/logistic_regression.hpp"
#include "pipeline/pipeline.hpp"
#include "preprocessing/standard_scaler.hpp"

namespace drel {

// The optimizer (which reports a feature count of 0 first), then the loss.
[[nodiscard]] Result<LinearRegression> make_linear_regression(
    std::uint64_t feature_count, const OptimizerSettings& optimizer,
    const RegressionLossSettings& loss);

// The optimizer; the log loss keeps its fixed epsilon of 1e-15.
[[nodiscard]] Result<LogisticRegression> make_logistic_regression(
    std::uint64_t feature_count, const OptimizerSettings& optimizer);

// The scaler first, as the pipelines' own constructors do, then the model.
[[nodiscard]] Result<RegressionPipeline> make_regression_pipeline(
    std::uint64_t feature_count, const StandardScalerConfig& scaler,
    const OptimizerSettings& optimizer, const RegressionLossSettings& loss);

[[nodiscard]] Result<ClassificationPipeline> make_classification_pipeline(
    std::uint64_t feature_count, const StandardScalerConfig& scaler,
    const OptimizerSettings& optimizer);

}  // namespace drel
