#include "pipeline/pipeline.hpp"

#include <vector>

#include "common/small_vector.hpp"
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
  DREL_TRY(transformer.fit_one_checked(x));
  DREL_ASSIGN_OR_RETURN(const std::vector<double> scaled, transformer.transform_one_checked(x));
  return model.learn_one_checked(scaled, y);
}

// One sample through the fast form, on the pipeline itself.
template <class Pipeline, class Target>
bool learned_fast(Pipeline& p, std::span<const double> x, Target y) {
  FitScratch scratch(3 * x.size());
  return learn_step<Commit::CheckThenWrite>(p, x, y, &scratch[0], false,
                                            scaling_of(p.transformer.config)) ==
         StepOutcome::Done;
}

// The model's raw output for x, through the fast form when every check passes.
template <class Pipeline>
bool output_fast(const Pipeline& p, std::span<const double> x, double& out) {
  SmallVector scaled(x.size());
  return pipeline_output(p, ScalePlan(p.transformer), x, &scaled[0], out);
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
  if (learned_fast(*this, x, y)) [[likely]] return {};
  return learn_one_checked(x, y);
}

Status RegressionPipeline::learn_one_checked(std::span<const double> x, double y) {
  DREL_CHECK_FINITE("target", y);
  return learn_through(transformer, model, x, y);
}

Result<double> RegressionPipeline::predict_one(std::span<const double> x) const {
  double out;
  if (output_fast(*this, x, out)) [[likely]] return out;
  return predict_one_checked(x);
}

Result<double> RegressionPipeline::predict_one_checked(std::span<const double> x) const {
  DREL_ASSIGN_OR_RETURN(const std::vector<double> scaled, transformer.transform_one_checked(x));
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
  if (learned_fast(*this, x, y)) [[likely]] return {};
  return learn_one_checked(x, y);
}

Status ClassificationPipeline::learn_one_checked(std::span<const double> x, bool y) {
  return learn_through(transformer, model, x, y);
}

Result<double> ClassificationPipeline::logit_checked(std::span<const double> x) const {
  DREL_ASSIGN_OR_RETURN(const std::vector<double> scaled, transformer.transform_one_checked(x));
  return model.logit_checked(scaled);
}

Result<double> ClassificationPipeline::predict_proba_one(std::span<const double> x) const {
  double z;
  if (output_fast(*this, x, z)) [[likely]] return logistic(z);
  DREL_ASSIGN_OR_RETURN(z, logit_checked(x));
  return logistic(z);
}

Result<bool> ClassificationPipeline::predict_one(std::span<const double> x) const {
  double z;
  if (output_fast(*this, x, z)) [[likely]] return positive_class(z);
  DREL_ASSIGN_OR_RETURN(z, logit_checked(x));
  return positive_class(z);
}

}  // namespace drel

