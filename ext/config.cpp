// Keyword factories of drel_ml_ext: drel_ml objects in every configuration the
// core supports, built by the core's checked builders (src/config), so that a
// bad setting is refused with the core's own message. The Python layer
// (drel_ml_ext/_config.py) names the keywords and passes them in this order.
#include <array>
#include <span>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "config/builders.hpp"
#include "config_frame.hpp"
#include "config_readers.hpp"
#include "units.hpp"

namespace drel::py {
namespace {

struct OptimizerChoice {
  static constexpr const char* what = "optimizer";
  static constexpr std::array<std::pair<std::string_view, OptimizerKind>, 2> choices{
      {{"sgd", OptimizerKind::Sgd}, {"adagrad", OptimizerKind::AdaGrad}}};
};

struct LossChoice {
  static constexpr const char* what = "loss";
  static constexpr std::array<std::pair<std::string_view, RegressionLossKind>, 2> choices{
      {{"squared", RegressionLossKind::SquaredError}, {"huber", RegressionLossKind::Huber}}};
};

// One text per alternative: a new optimizer or loss without one does not compile.
static_assert(OptimizerChoice::choices.size() == std::variant_size_v<decltype(Optimizer::variant)>);
static_assert(LossChoice::choices.size() == std::variant_size_v<decltype(RegressionLoss::variant)>);

using OptimizerOption = Option<OptimizerChoice>;
using LossOption = Option<LossChoice>;

constexpr PositionalSpec<7> kLinear{
    "linear_regression()",
    {"feature_count", "learning_rate", "optimizer", "l2", "adagrad_epsilon", "loss",
     "huber_delta"}};
constexpr auto linear = +[](Count n, Float rate, OptimizerOption kind, Float l2, Float epsilon,
                            LossOption loss, Float delta) {
  return make_linear_regression(n, {kind, rate, l2, epsilon}, {loss, delta});
};

constexpr PositionalSpec<5> kLogistic{
    "logistic_regression()",
    {"feature_count", "learning_rate", "optimizer", "l2", "adagrad_epsilon"}};
constexpr auto logistic = +[](Count n, Float rate, OptimizerOption kind, Float l2,
                              Float epsilon) {
  return make_logistic_regression(n, {kind, rate, l2, epsilon});
};

constexpr PositionalSpec<4> kScaler{"standard_scaler()",
                                    {"feature_count", "with_mean", "with_std", "epsilon"}};
constexpr auto scaler = +[](Count n, Bool with_mean, Bool with_std, Float epsilon) {
  return StandardScalerState::create(n, {with_mean, with_std, epsilon});
};

constexpr PositionalSpec<10> kRegression{
    "regression_pipeline()",
    {"feature_count", "learning_rate", "optimizer", "l2", "adagrad_epsilon", "loss",
     "huber_delta", "with_mean", "with_std", "scaler_epsilon"}};
constexpr auto regression = +[](Count n, Float rate, OptimizerOption kind, Float l2,
                                Float epsilon, LossOption loss, Float delta, Bool with_mean,
                                Bool with_std, Float scaler_epsilon) {
  return make_regression_pipeline(n, {with_mean, with_std, scaler_epsilon},
                                  {kind, rate, l2, epsilon}, {loss, delta});
};

constexpr PositionalSpec<8> kClassification{
    "classification_pipeline()",
    {"feature_count", "learning_rate", "optimizer", "l2", "adagrad_epsilon", "with_mean",
     "with_std", "scaler_epsilon"}};
constexpr auto classification = +[](Count n, Float rate, OptimizerOption kind, Float l2,
                                    Float epsilon, Bool with_mean, Bool with_std,
                                    Float scaler_epsilon) {
  return make_classification_pipeline(n, {with_mean, with_std, scaler_epsilon},
                                      {kind, rate, l2, epsilon});
};

constexpr const char* kFactoryDoc = "Positional form of the drel_ml_ext function of this name.";

const std::array<PyMethodDef, 5> factories{
    positional_def<kLinear, linear>("linear_regression", kFactoryDoc),
    positional_def<kLogistic, logistic>("logistic_regression", kFactoryDoc),
    positional_def<kScaler, scaler>("standard_scaler", kFactoryDoc),
    positional_def<kRegression, regression>("regression_pipeline", kFactoryDoc),
    positional_def<kClassification, classification>("classification_pipeline", kFactoryDoc),
};

}  // namespace

std::span<const PyMethodDef> config_functions() {
  static const std::vector<PyMethodDef> all = [] {
    std::vector<PyMethodDef> table(factories.begin(), factories.end());
    for (const PyMethodDef& reader : config_readers()) table.push_back(reader);
    return table;
  }();
  return all;
}

}  // namespace drel::py
