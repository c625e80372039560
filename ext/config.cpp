// Keyword factories of drel_ml_ext: drel_ml objects in every configuration the
// core supports, built by the core's checked builders (src/config), so that a
// bad setting is refused with the core's own message. The Python layer
// (drel_ml_ext/_config.py) names the keywords and passes them in this order.
#include <array>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "config/builders.hpp"
#include "config/optimizer_table.hpp"
#include "config_frame.hpp"
#include "config_readers.hpp"
#include "units.hpp"

namespace drel::py {
namespace {

struct OptimizerChoice {
  static constexpr const char* what = "optimizer";
  static constexpr auto choices = [] {
    std::array<std::pair<std::string_view, std::size_t>, kOptimizerCount> all{};
    for (std::size_t i = 0; i < kOptimizerCount; ++i) all[i] = {kOptimizerNames[i], i};
    return all;
  }();
};

struct LossChoice {
  static constexpr const char* what = "loss";
  static constexpr std::array<std::pair<std::string_view, RegressionLossKind>, 2> choices{
      {{"squared", RegressionLossKind::SquaredError}, {"huber", RegressionLossKind::Huber}}};
};

// One text per alternative: a new loss without one does not compile.
static_assert(LossChoice::choices.size() == std::variant_size_v<decltype(RegressionLoss::variant)>);

using LossOption = Option<LossChoice>;

// The optimizer's arguments, a run of its own: the first setting (the learning
// rate, which every factory takes second as drel_ml's constructors do), the
// optimizer's name, then the other settings, each under its keyword.
struct OptimizerArgs {
  static constexpr std::size_t width = 1 + kOptimizerSettingCount;
  static constexpr bool noted = false, late = false;
  static constexpr std::array<const char*, width> keywords = [] {
    std::array<const char*, width> all{};
    all[0] = kOptimizerSettings[0].keyword.c_str();
    all[1] = OptimizerChoice::what;
    for (std::size_t i = 1; i < kOptimizerSettingCount; ++i)
      all[i + 1] = kOptimizerSettings[i].keyword.c_str();
    return all;
  }();

  OptimizerSettings value;

  bool convert_run(PyObject* const* args) {
    for (std::size_t j = 0; j < width; ++j) {
      if (!convert_one(j, args[j])) {
        add_processing_note(keywords[j]);
        return false;
      }
    }
    return true;
  }
  operator OptimizerSettings() const { return value; }

 private:
  bool convert_one(std::size_t j, PyObject* o) {
    if (j == 1) {
      Option<OptimizerChoice> kind;
      if (!kind.convert(o)) return false;
      value.kind = kind;
      return true;
    }
    return to_double(o, value.values[j == 0 ? 0 : j - 1]);
  }
};

constexpr std::array<const char*, 1> kCount{"feature_count"};
constexpr std::array<const char*, 2> kLoss{"loss", "huber_delta"};
constexpr std::array<const char*, 3> kScalerArgs{"with_mean", "with_std", "scaler_epsilon"};

constexpr PositionalSpec kLinear{"linear_regression()",
                                 keyword_runs(kCount, OptimizerArgs::keywords, kLoss)};
constexpr auto linear = +[](Count n, OptimizerArgs optimizer, LossOption loss, Float delta) {
  return make_linear_regression(n, optimizer, {loss, delta});
};

constexpr PositionalSpec kLogistic{"logistic_regression()",
                                   keyword_runs(kCount, OptimizerArgs::keywords)};
constexpr auto logistic = +[](Count n, OptimizerArgs optimizer) {
  return make_logistic_regression(n, optimizer);
};

constexpr PositionalSpec<4> kScaler{"standard_scaler()",
                                    {"feature_count", "with_mean", "with_std", "epsilon"}};
constexpr auto scaler = +[](Count n, Bool with_mean, Bool with_std, Float epsilon) {
  return StandardScalerState::create(n, {with_mean, with_std, epsilon});
};

constexpr PositionalSpec kRegression{
    "regression_pipeline()", keyword_runs(kCount, OptimizerArgs::keywords, kLoss, kScalerArgs)};
constexpr auto regression = +[](Count n, OptimizerArgs optimizer, LossOption loss, Float delta,
                                Bool with_mean, Bool with_std, Float scaler_epsilon) {
  return make_regression_pipeline(n, {with_mean, with_std, scaler_epsilon}, optimizer,
                                  {loss, delta});
};

constexpr PositionalSpec kClassification{
    "classification_pipeline()", keyword_runs(kCount, OptimizerArgs::keywords, kScalerArgs)};
constexpr auto classification = +[](Count n, OptimizerArgs optimizer, Bool with_mean,
                                    Bool with_std, Float scaler_epsilon) {
  return make_classification_pipeline(n, {with_mean, with_std, scaler_epsilon}, optimizer);
};

// {name: {keyword: default}} for every optimizer, in the variant's order: the
// Python layer's list of choices and of their settings.
PyObject* optimizer_table(PyObject*, PyObject*) {
  return guarded([]() -> PyObject* {
    Ref table = Ref::steal(PyDict_New());
    bool ok = static_cast<bool>(table);
    for_each_optimizer([&]<class O>() {
      Ref settings = Ref::steal(ok ? PyDict_New() : nullptr);
      ok = static_cast<bool>(settings);
      for (std::size_t index : kSettingsOf<O>) {
        const OptimizerSetting& setting = kOptimizerSettings[index];
        Ref value = Ref::steal(ok ? PyFloat_FromDouble(setting.default_value) : nullptr);
        ok = value && PyDict_SetItemString(settings.get(), setting.keyword.c_str(), value.get()) == 0;
      }
      const std::string name(O::config_name);
      ok = ok && PyDict_SetItemString(table.get(), name.c_str(), settings.get()) == 0;
    });
    return ok ? table.release() : nullptr;
  });
}

constexpr const char* kFactoryDoc = "Positional form of the drel_ml_ext function of this name.";

const std::array<PyMethodDef, 6> factories{
    PyMethodDef{"optimizer_table", &optimizer_table, METH_NOARGS,
                "{name: {keyword: default}} for every optimizer the factories offer."},
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
