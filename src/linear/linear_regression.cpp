#include "linear/linear_regression.hpp"

#include "error/guards.hpp"
#include "linear/linear_step.hpp"

namespace drel {
namespace {
constexpr AffineNames kPredictionNames{"linear prediction term", "linear prediction"};
}  // namespace

Result<LinearRegression> LinearRegression::create(std::uint64_t feature_count,
                                                  Optimizer optimizer, RegressionLoss loss) {
  return zero_model<LinearRegression>(feature_count, std::move(optimizer), loss);
}

Result<LinearRegression> LinearRegression::with_sgd(std::uint64_t feature_count,
                                                    double learning_rate) {
  DREL_ASSIGN_OR_RETURN(Optimizer optimizer, Optimizer::sgd(feature_count, learning_rate, 0.0));
  return create(feature_count, std::move(optimizer), RegressionLoss{SquaredError{}});
}

Result<double> LinearRegression::predict_one(std::span<const double> x) const {
  double out;
  if (fast_output(*this, x, out)) [[likely]] return out;
  return predict_one_checked(x);
}

Status LinearRegression::learn_one(std::span<const double> x, double y) {
  if (learn_step<Commit::CheckThenWrite>(*this, x, y) == StepOutcome::Done) [[likely]] return {};
  return learn_one_checked(x, y);
}

Result<double> LinearRegression::predict_one_checked(std::span<const double> x) const {
  DREL_TRY(check_features(x, feature_count));
  return checked_affine(weights, x, intercept, kPredictionNames);
}

Status LinearRegression::learn_one_checked(std::span<const double> x, double y) {
  DREL_TRY(check_features(x, feature_count));
  DREL_CHECK_FINITE("target", y);
  DREL_ASSIGN_OR_RETURN(const std::uint64_t next,
                        checked_increment(samples_seen, "linear regression sample"));
  DREL_ASSIGN_OR_RETURN(const double prediction,
                        checked_affine(weights, x, intercept, kPredictionNames));
  DREL_TRY(step_on_loss_gradient(x, loss.gradient(prediction, y), weights, intercept, optimizer));
  samples_seen = next;
  return {};
}

}  // namespace drel
