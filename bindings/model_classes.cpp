// StandardScaler, the two linear models and the two pipelines.
#include "bindings/classes.hpp"
#include "bindings/frame.hpp"
#include "linear/linear_regression.hpp"
#include "linear/logistic_regression.hpp"
#include "bindings/once.hpp"
#include "bindings/snapshot_members.hpp"
#include "pipeline/pipeline.hpp"
#include "preprocessing/standard_scaler.hpp"

namespace drel::py {
namespace {

// The members every model declares alike.
template <class Core>
inline constexpr Member kPredict{module_name<Core>, "predict_one", {"x"}};
template <class Core>
inline constexpr Member kPredictProba{module_name<Core>, "predict_proba_one", {"x"}};
template <class Core>
inline constexpr Member kLearn{module_name<Core>, "learn_one", {"x", "y"}};
// LinearRegression(feature_count, learning_rate) and its likes.
template <class Core>
constexpr Member model_constructor(std::string_view doc) {
  return {module_name<Core>, "__new__", {"feature_count", "learning_rate"},
          MemberKind::Constructor, doc};
}

// ---- StandardScaler ----
constexpr std::string_view kScaler = module_name<StandardScalerState>;
constexpr Member kScalerNew{kScaler, "__new__", {"feature_count"}, MemberKind::Constructor,
                            "Online standard scaler."};
constexpr Member kScalerTransform{kScaler, "transform_one", {"x"}};
constexpr Member kScalerFit{kScaler, "fit_one", {"x"}};
constexpr Member kScalerLearn{kScaler, "learn_one", {"x"}};
constexpr auto scaler_new = +[](Count n) { return StandardScalerState::create(n); };

constexpr auto scaler_fit = +[](StandardScalerState& s, const Features& x) { return s.fit_one(x); };

PyMethodDef scaler_methods[] = {
    method_def<kScalerTransform,
               +[](const StandardScalerState& s, const Features& x) { return s.transform_one(x); }>(),
    method_def<kScalerFit, scaler_fit>(),
    method_def<kScalerLearn, scaler_fit>(),
    to_json_def<StandardScalerState>(),
    from_json_def<StandardScalerState>(),
    kMethodsEnd,
};
PyGetSetDef scaler_properties[] = {
    getter_def<+[](const StandardScalerState& s) { return s.samples_seen(); }>("samples_seen"),
    kPropertiesEnd,
};

// ---- LinearRegression ----
constexpr Member kLinearNew = model_constructor<LinearRegression>("Online linear regression.");
constexpr auto linear_new = +[](Count n, Float rate) { return LinearRegression::with_sgd(n, rate); };

PyMethodDef linear_methods[] = {
    method_def<kPredict<LinearRegression>,
               +[](const LinearRegression& m, const Features& x) { return m.predict_one(x); }>(),
    method_def<kLearn<LinearRegression>, +[](LinearRegression& m, const Features& x, Float y) {
      return m.learn_one(x, y);
    }>(),
    to_json_def<LinearRegression>(),
    from_json_def<LinearRegression>(),
    kMethodsEnd,
};
PyGetSetDef linear_properties[] = {
    getter_def<+[](const LinearRegression& m) { return m.weights; }>("weights"),
    getter_def<+[](const LinearRegression& m) { return m.samples_seen; }>("samples_seen"),
    kPropertiesEnd,
};

// ---- LogisticRegression ----
constexpr Member kLogisticNew =
    model_constructor<LogisticRegression>("Online logistic regression.");
constexpr auto logistic_new = +[](Count n, Float rate) { return LogisticRegression::with_sgd(n, rate); };

PyMethodDef logistic_methods[] = {
    method_def<kPredict<LogisticRegression>,
               +[](const LogisticRegression& m, const Features& x) { return m.predict_one(x); }>(),
    method_def<kPredictProba<LogisticRegression>, +[](const LogisticRegression& m, const Features& x) {
      return m.predict_proba_one(x);
    }>(),
    method_def<kLearn<LogisticRegression>, +[](LogisticRegression& m, const Features& x, Bool y) {
      return m.learn_one(x, y);
    }>(),
    to_json_def<LogisticRegression>(),
    from_json_def<LogisticRegression>(),
    kMethodsEnd,
};
PyGetSetDef logistic_properties[] = {
    getter_def<+[](const LogisticRegression& m) { return m.weights; }>("weights"),
    getter_def<+[](const LogisticRegression& m) { return m.samples_seen; }>("samples_seen"),
    kPropertiesEnd,
};

// ---- RegressionPipeline ----
constexpr Member kRegressionNew = model_constructor<RegressionPipeline>(
    "Regression pipeline: `StandardScaler` + `LinearRegression`.");
constexpr auto regression_new = +[](Count n, Float rate) { return RegressionPipeline::with_sgd(n, rate); };

PyMethodDef regression_methods[] = {
    method_def<kPredict<RegressionPipeline>,
               +[](const RegressionPipeline& p, const Features& x) { return p.predict_one(x); }>(),
    method_def<kLearn<RegressionPipeline>, +[](RegressionPipeline& p, const Features& x, Float y) {
      return p.learn_one(x, y);
    }>(),
    to_json_def<RegressionPipeline>(),
    from_json_def<RegressionPipeline>(),
    kMethodsEnd,
};
PyGetSetDef regression_properties[] = {
    getter_def<+[](const RegressionPipeline& p) { return p.samples_seen(); }>("samples_seen"),
    kPropertiesEnd,
};

// ---- ClassificationPipeline ----
constexpr Member kClassificationNew = model_constructor<ClassificationPipeline>(
    "Classification pipeline: `StandardScaler` + `LogisticRegression`.");
constexpr auto classification_new = +[](Count n, Float rate) {
  return ClassificationPipeline::with_sgd(n, rate);
};

PyMethodDef classification_methods[] = {
    method_def<kPredict<ClassificationPipeline>,
               +[](const ClassificationPipeline& p, const Features& x) { return p.predict_one(x); }>(),
    method_def<kPredictProba<ClassificationPipeline>,
               +[](const ClassificationPipeline& p, const Features& x) {
                 return p.predict_proba_one(x);
               }>(),
    method_def<kLearn<ClassificationPipeline>,
               +[](ClassificationPipeline& p, const Features& x, Bool y) {
                 return p.learn_one(x, y);
               }>(),
    to_json_def<ClassificationPipeline>(),
    from_json_def<ClassificationPipeline>(),
    kMethodsEnd,
};
PyGetSetDef classification_properties[] = {
    getter_def<+[](const ClassificationPipeline& p) { return p.samples_seen(); }>("samples_seen"),
    kPropertiesEnd,
};

OnceObject scaler_class, linear_class, logistic_class, regression_class, classification_class;

}  // namespace

template <>
PyTypeObject* class_object<StandardScalerState>() {
  return class_in_cell<StandardScalerState>(scaler_class, "builtins.StandardScaler",
                                            member_doc<kScalerNew>(),
                                            constructor_of<kScalerNew, scaler_new>(),
                                            scaler_methods, scaler_properties);
}

template <>
PyTypeObject* class_object<LinearRegression>() {
  return class_in_cell<LinearRegression>(linear_class, "builtins.LinearRegression",
                                         member_doc<kLinearNew>(),
                                         constructor_of<kLinearNew, linear_new>(), linear_methods,
                                         linear_properties);
}

template <>
PyTypeObject* class_object<LogisticRegression>() {
  return class_in_cell<LogisticRegression>(logistic_class, "builtins.LogisticRegression",
                                           member_doc<kLogisticNew>(),
                                           constructor_of<kLogisticNew, logistic_new>(),
                                           logistic_methods, logistic_properties);
}

template <>
PyTypeObject* class_object<RegressionPipeline>() {
  return class_in_cell<RegressionPipeline>(regression_class, "builtins.RegressionPipeline",
                                           member_doc<kRegressionNew>(),
                                           constructor_of<kRegressionNew, regression_new>(),
                                           regression_methods, regression_properties);
}

template <>
PyTypeObject* class_object<ClassificationPipeline>() {
  return class_in_cell<ClassificationPipeline>(
      classification_class, "builtins.ClassificationPipeline", member_doc<kClassificationNew>(),
      constructor_of<kClassificationNew, classification_new>(), classification_methods,
      classification_properties);
}

}  // namespace drel::py
