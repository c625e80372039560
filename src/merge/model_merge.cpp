// Merging of the linear models (weighted model averaging) and of the pipelines.
#include "merge/merge.hpp"

#include <cstddef>
#include <span>
#include <type_traits>
#include <variant>
#include <vector>

#include "error/guards.hpp"
#include "merge/merge_rules.hpp"

namespace drel {
namespace {

const char* sample_name(const LinearRegression&) { return "linear regression sample"; }
const char* sample_name(const LogisticRegression&) { return "logistic regression sample"; }
const char* sample_name(const Sgd&) { return "SGD sample"; }
const char* sample_name(const AdaGrad&) { return "AdaGrad sample"; }

// What merging needs of each loss and each optimizer, one overload per
// alternative: an alternative without one does not compile.
const char* variant_text(const SquaredError&) { return "squared error"; }
const char* variant_text(const HuberLoss&) { return "Huber"; }
const char* variant_text(const Sgd&) { return "SGD"; }
const char* variant_text(const AdaGrad&) { return "AdaGrad"; }

Status same_settings(const SquaredError&, const SquaredError&) { return {}; }
Status same_settings(const HuberLoss& a, const HuberLoss& b) {
  return require_same("Huber deltas", a.delta, b.delta);
}

template <class Optimizer>
Status same_common_settings(const Optimizer& a, const Optimizer& b) {
  DREL_TRY(require_same("optimizer feature counts", a.feature_count, b.feature_count));
  DREL_TRY(require_same("learning rates", a.config.learning_rate, b.config.learning_rate));
  return require_same("l2 penalties", a.config.l2, b.config.l2);
}
Status same_settings(const Sgd& a, const Sgd& b) { return same_common_settings(a, b); }
Status same_settings(const AdaGrad& a, const AdaGrad& b) {
  DREL_TRY(same_common_settings(a, b));
  return require_same("AdaGrad epsilons", a.config.epsilon, b.config.epsilon);
}

// The per-feature state beside the weights holds feature_count entries.
Status check_state_lengths(const Sgd&, std::uint64_t) { return {}; }
Status check_state_lengths(const AdaGrad& o, std::uint64_t feature_count) {
  if (o.grad_sq_weights.size() != feature_count)
    return fail(Error::dimension_mismatch(feature_count, o.grad_sq_weights.size()));
  return {};
}

// A loss or an optimizer variant: the same alternative on both sides, with the
// same settings.
template <class Variant>
Status same_variant(const char* what, const Variant& a, const Variant& b) {
  const auto text = [](const auto& v) { return variant_text(v); };
  if (a.index() != b.index()) return differing(what, std::visit(text, a), std::visit(text, b));
  return std::visit(
      [&b](const auto& va) -> Status {
        return same_settings(va, *std::get_if<std::remove_cvref_t<decltype(va)>>(&b));
      },
      a);
}

Status same_loss(const RegressionLoss& a, const RegressionLoss& b) {
  return same_variant("losses", a.variant, b.variant);
}

Status same_loss(const BinaryLogLoss& a, const BinaryLogLoss& b) {
  return require_same("log loss epsilons", a.epsilon, b.epsilon);
}

Status same_optimizer(const Optimizer& a, const Optimizer& b) {
  return same_variant("optimizers", a.variant, b.variant);
}

// Every vector the averaging walks holds feature_count entries.
template <class Model>
Status check_lengths(const Model& m) {
  if (m.weights.size() != m.feature_count)
    return fail(Error::dimension_mismatch(m.feature_count, m.weights.size()));
  return std::visit([&m](const auto& o) { return check_state_lengths(o, m.feature_count); },
                    m.optimizer.variant);
}

template <class Model>
Status same_model_config(const Model& a, const Model& b) {
  DREL_TRY(require_same("feature counts", a.feature_count, b.feature_count));
  DREL_TRY(same_loss(a.loss, b.loss));
  DREL_TRY(same_optimizer(a.optimizer, b.optimizer));
  DREL_TRY(check_lengths(a));
  return check_lengths(b);
}

// x + (y - x) * share_b: exact when x == y, and y itself at share_b == 1.
Result<double> averaged(double x, double y, double share_b, const char* name) {
  const double difference = y - x;
  DREL_CHECK_FINITE(name, difference);
  const double value = x + difference * share_b;
  DREL_CHECK_FINITE(name, value);
  return value;
}

Status average_into(std::vector<double>& out, std::span<const double> other, double share_b,
                    const char* name) {
  for (std::size_t i = 0; i < out.size(); ++i) {
    DREL_ASSIGN_OR_RETURN(out[i], averaged(out[i], other[i], share_b, name));
  }
  return {};
}

// An optimizer's own state is averaged as the weights are; out and b are of
// one alternative (checked by same_optimizer).
Status average_state(Sgd&, const Sgd&, double) { return {}; }
Status average_state(AdaGrad& out, const AdaGrad& b, double share_b) {
  DREL_TRY(average_into(out.grad_sq_weights, b.grad_sq_weights, share_b, "AdaGrad accumulator"));
  DREL_ASSIGN_OR_RETURN(out.grad_sq_intercept,
                        averaged(out.grad_sq_intercept, b.grad_sq_intercept, share_b,
                                 "AdaGrad intercept accumulator"));
  return {};
}

// `out` is a copy of a; b's parameters are blended in with the weight share_b.
template <class Model>
Status average_parameters(Model& out, const Model& b, double share_b) {
  DREL_TRY(average_into(out.weights, b.weights, share_b, "weight"));
  DREL_ASSIGN_OR_RETURN(out.intercept, averaged(out.intercept, b.intercept, share_b, "intercept"));
  return std::visit(
      [&b, share_b](auto& o) {
        return average_state(o, *std::get_if<std::remove_cvref_t<decltype(o)>>(&b.optimizer.variant),
                             share_b);
      },
      out.optimizer.variant);
}

std::uint64_t& optimizer_samples(Optimizer& o) {
  return std::visit([](auto& v) -> std::uint64_t& { return v.samples_seen; }, o.variant);
}
std::uint64_t optimizer_samples(const Optimizer& o) {
  return std::visit([](const auto& v) { return v.samples_seen; }, o.variant);
}
const char* optimizer_sample_name(const Optimizer& o) {
  return std::visit([](const auto& v) { return sample_name(v); }, o.variant);
}

// The sides are weighted by the samples the model (not its optimizer) learned;
// all counters are checked before any parameter is computed.
template <class Model>
Result<Model> merge_models(const Model* start, const Model& a, const Model& b) {
  DREL_TRY(same_model_config(a, b));
  if (start != nullptr) DREL_TRY(same_model_config(*start, a));
  DREL_ASSIGN_OR_RETURN(
      const MergedCounter samples,
      merge_counter(start != nullptr ? &start->samples_seen : nullptr, a.samples_seen,
                    b.samples_seen, sample_name(a)));
  const std::uint64_t start_steps = start != nullptr ? optimizer_samples(start->optimizer) : 0;
  DREL_ASSIGN_OR_RETURN(
      const MergedCounter steps,
      merge_counter(start != nullptr ? &start_steps : nullptr, optimizer_samples(a.optimizer),
                    optimizer_samples(b.optimizer), optimizer_sample_name(a.optimizer)));

  const Increments learned = samples.increments;
  Model out = (learned.a == 0 && learned.b != 0) ? b : a;
  if (learned.a != 0 && learned.b != 0) {
    // learned.a + learned.b <= samples.total, so the sum cannot wrap.
    const double share_b = as_real(learned.b) / as_real(learned.a + learned.b);
    DREL_TRY(average_parameters(out, b, share_b));
  }
  out.samples_seen = samples.total;
  optimizer_samples(out.optimizer) = steps.total;
  return out;
}

template <class Pipeline>
Result<Pipeline> merge_pipelines(const Pipeline* start, const Pipeline& a, const Pipeline& b) {
  Result<StandardScalerState> transformer =
      start != nullptr ? merge_from(start->transformer, a.transformer, b.transformer)
                       : merge(a.transformer, b.transformer);
  if (!transformer) return std::unexpected(std::move(transformer).error());
  auto model = merge_models(start != nullptr ? &start->model : nullptr, a.model, b.model);
  if (!model) return std::unexpected(std::move(model).error());
  return Pipeline{std::move(*transformer), std::move(*model)};
}

}  // namespace

Result<LinearRegression> merge(const LinearRegression& a, const LinearRegression& b) {
  return merge_models<LinearRegression>(nullptr, a, b);
}
Result<LinearRegression> merge_from(const LinearRegression& start, const LinearRegression& a,
                                    const LinearRegression& b) {
  return merge_models(&start, a, b);
}

Result<LogisticRegression> merge(const LogisticRegression& a, const LogisticRegression& b) {
  return merge_models<LogisticRegression>(nullptr, a, b);
}
Result<LogisticRegression> merge_from(const LogisticRegression& start,
                                      const LogisticRegression& a, const LogisticRegression& b) {
  return merge_models(&start, a, b);
}

Result<RegressionPipeline> merge(const RegressionPipeline& a, const RegressionPipeline& b) {
  return merge_pipelines<RegressionPipeline>(nullptr, a, b);
}
Result<RegressionPipeline> merge_from(const RegressionPipeline& start,
                                      const RegressionPipeline& a, const RegressionPipeline& b) {
  return merge_pipelines(&start, a, b);
}

Result<ClassificationPipeline> merge(const ClassificationPipeline& a,
                                     const ClassificationPipeline& b) {
  return merge_pipelines<ClassificationPipeline>(nullptr, a, b);
}
Result<ClassificationPipeline> merge_from(const ClassificationPipeline& start,
                                          const ClassificationPipeline& a,
                                          const ClassificationPipeline& b) {
  return merge_pipelines(&start, a, b);
}

}  // namespace drel
