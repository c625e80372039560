#include "pipeline/pipeline.hpp"

#include <vector>

#include "error/guards.hpp"

namespace drel {
namespace {

template <class Pipeline, class Model>
Result<Pipeline> assemble(StandardScalerState transformer, Model model) {
  if (transformer.feature_count != model.feature_count)
    return fail(Error::dimension_mismatch(model.feature_count, transformer.feature_count));
  return Pipeline{std::move(transformer), std::move(model)};
}

// Absorbs x into the scaler (committed on its own), then hands the model x as
// scaled by statistics that already include it.
template <class Model, class Target>
Status learn_through(StandardScalerState& transformer, Model& model, std::span<const double> x,
                     Target y) {
  DREL_TRY(transformer.fit_one(x));
  DREL_ASSIGN_OR_RETURN(const std::vector<double> scaled, transformer.transform_one(x));
  return model.learn_one(scaled, y);
}

// The default scaler first, so a feature count of 0 is reported by it before the
// learning rate is looked at; then the model; then the pipeline.
template <class Pipeline, class Model>
Result<Pipeline> build_with_sgd(std::uint64_t feature_count, double learning_rate) {
  auto transformer = StandardScalerState::create(feature_count);
  if (!transformer) return fail(std::move(transformer).error());
  auto model = Model::with_sgd(feature_count, learning_rate);
  if (!model) return fail(std::move(model).error());
  return Pipeline::create(std::move(*transformer), std::move(*model));
}

}  // namespace

Result<RegressionPipeline> RegressionPipeline::create(StandardScalerState transformer,
                                                      LinearRegression model) {
  return assemble<RegressionPipeline>(std::move(transformer), std::move(model));
}

Result<RegressionPipeline> RegressionPipeline::with_sgd(std::uint64_t feature_count,
                                                        double learning_rate) {
  return build_with_sgd<RegressionPipeline, LinearRegression>(feature_count, learning_rate);
}

Status RegressionPipeline::learn_one(std::span<const double> x, double y) {
  DREL_CHECK_FINITE("target", y);
  return learn_through(transformer, model, x, y);
}

Result<double> RegressionPipeline::predict_one(std::span<const double> x) const {
  DREL_ASSIGN_OR_RETURN(const std::vector<double> scaled, transformer.transform_one(x));
  return model.predict_one(scaled);
}

Result<ClassificationPipeline> ClassificationPipeline::create(StandardScalerState transformer,
                                                              LogisticRegression model) {
  return assemble<ClassificationPipeline>(std::move(transformer), std::move(model));
}

Result<ClassificationPipeline> ClassificationPipeline::with_sgd(std::uint64_t feature_count,
                                                                double learning_rate) {
  return build_with_sgd<ClassificationPipeline, LogisticRegression>(feature_count, learning_rate);
}

Status ClassificationPipeline::learn_one(std::span<const double> x, bool y) {
  return learn_through(transformer, model, x, y);
}

Result<double> ClassificationPipeline::predict_proba_one(std::span<const double> x) const {
  DREL_ASSIGN_OR_RETURN(const std::vector<double> scaled, transformer.transform_one(x));
  return model.predict_proba_one(scaled);
}

Result<bool> ClassificationPipeline::predict_one(std::span<const double> x) const {
  DREL_ASSIGN_OR_RETURN(const double p, predict_proba_one(x));
  return p >= 0.5;
}

}  // namespace drel
