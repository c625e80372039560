#include "config/builders.hpp"

namespace drel {

Result<LinearRegression> make_linear_regression(std::uint64_t feature_count,
                                                const OptimizerSettings& optimizer,
                                                const RegressionLossSettings& loss) {
  DREL_ASSIGN_OR_RETURN(Optimizer built_optimizer, make_optimizer(feature_count, optimizer));
  DREL_ASSIGN_OR_RETURN(RegressionLoss built_loss, make_regression_loss(loss));
  return LinearRegression::create(feature_count, std::move(built_optimizer), built_loss);
}

Result<LogisticRegression> make_logistic_regression(std::uint64_t feature_count,
                                                    const OptimizerSettings& optimizer) {
  DREL_ASSIGN_OR_RETURN(Optimizer built_optimizer, make_optimizer(feature_count, optimizer));
  return LogisticRegression::create(feature_count, std::move(built_optimizer), BinaryLogLoss{1e-15});
}

Result<RegressionPipeline> make_regression_pipeline(std::uint64_t feature_count,
                                                    const StandardScalerConfig& scaler,
                                                    const OptimizerSettings& optimizer,
                                                    const RegressionLossSettings& loss) {
  DREL_ASSIGN_OR_RETURN(StandardScalerState transformer,
                        StandardScalerState::create(feature_count, scaler));
  DREL_ASSIGN_OR_RETURN(LinearRegression model,
                        make_linear_regression(feature_count, optimizer, loss));
  return RegressionPipeline::create(std::move(transformer), std::move(model));
}

Result<ClassificationPipeline> make_classification_pipeline(std::uint64_t feature_count,
                                                            const StandardScalerConfig& scaler,
                                                            const OptimizerSettings& optimizer) {
  DREL_ASSIGN_OR_RETURN(StandardScalerState transformer,
                        StandardScalerState::create(feature_count, scaler));
  DREL_ASSIGN_OR_RETURN(LogisticRegression model,
                        make_logistic_regression(feature_count, optimizer));
  return ClassificationPipeline::create(std::move(transformer), std::move(model));
}

}  // namespace drel
