#include "linear/logistic_regression.hpp"

#include "error/guards.hpp"
#include "linear/linear_step.hpp"

namespace drel {
namespace {
constexpr AffineNames kLogitNames{"logit term", "logit"};
}  // namespace

Result<LogisticRegression> LogisticRegression::create(std::uint64_t feature_count,
                                                      Optimizer optimizer, BinaryLogLoss loss) {
  return zero_model<LogisticRegression>(feature_count, std::move(optimizer), loss);
}

Result<LogisticRegression> LogisticRegression::with_sgd(std::uint64_t feature_count,
                                                        double learning_rate) {
  DREL_ASSIGN_OR_RETURN(Optimizer optimizer, Optimizer::sgd(feature_count, learning_rate, 0.0));
  return create(feature_count, std::move(optimizer), BinaryLogLoss{1e-15});
}

Result<double> LogisticRegression::predict_proba_one(std::span<const double> x) const {
  double z;
  if (fast_output(*this, x, z)) [[likely]] return logistic(z);
  DREL_ASSIGN_OR_RETURN(z, logit_checked(x));
  return logistic(z);
}

Result<bool> LogisticRegression::predict_one(std::span<const double> x) const {
  double z;
  if (fast_output(*this, x, z)) [[likely]] return positive_class(z);
  DREL_ASSIGN_OR_RETURN(z, logit_checked(x));
  return positive_class(z);
}

Status LogisticRegression::learn_one(std::span<const double> x, bool y) {
  if (learn_step<Commit::CheckThenWrite>(*this, x, y) == StepOutcome::Done) [[likely]] return {};
  return learn_one_checked(x, y);
}

Result<double> LogisticRegression::logit_checked(std::span<const double> x) const {
  DREL_TRY(check_features(x, feature_count));
  return checked_affine(weights, x, intercept, kLogitNames);
}

Status LogisticRegression::learn_one_checked(std::span<const double> x, bool y) {
  DREL_TRY(check_features(x, feature_count));
  DREL_ASSIGN_OR_RETURN(const std::uint64_t next,
                        checked_increment(samples_seen, "logistic regression sample"));
  DREL_ASSIGN_OR_RETURN(const double z, checked_affine(weights, x, intercept, kLogitNames));
  const double p = logistic(z);
  DREL_TRY(step_on_loss_gradient(x, loss.gradient(p, y), weights, intercept, optimizer));
  samples_seen = next;
  return {};
}

}  // namespace drel
