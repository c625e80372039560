// StandardScaler, the two linear models and the two pipelines.
#include "classes.hpp"
#include "frame.hpp"
#include "linear/linear_regression.hpp"
#include "linear/logistic_regression.hpp"
#include "once.hpp"
#include "snapshot_members.hpp"
#include "pipeline/pipeline.hpp"
#include "preprocessing/standard_scaler.hpp"

namespace drel::py {
namespace {

constexpr const char* kPredictDoc = "predict_one($self, x)\n--\n\n";
constexpr const char* kPredictProbaDoc = "predict_proba_one($self, x)\n--\n\n";
constexpr const char* kLearnDoc = "learn_one($self, x, y)\n--\n\n";

// ---- StandardScaler ----
constexpr ArgSpec kScalerNew{"StandardScaler.__new__()", {"feature_count"}, 1};
constexpr ArgSpec kScalerTransform{"StandardScaler.transform_one()", {"x"}, 1};
constexpr ArgSpec kScalerFit{"StandardScaler.fit_one()", {"x"}, 1};
constexpr ArgSpec kScalerLearn{"StandardScaler.learn_one()", {"x"}, 1};
constexpr ArgSpec kScalerFromJson{"StandardScaler.from_json()", {"json"}, 1};
constexpr auto scaler_new = +[](Count n) { return StandardScalerState::create(n); };

constexpr auto scaler_fit = +[](StandardScalerState& s, const Features& x) { return s.fit_one(x); };

PyMethodDef scaler_methods[] = {
    method_def<kScalerTransform,
               +[](const StandardScalerState& s, const Features& x) { return s.transform_one(x); }>(
        "transform_one", "transform_one($self, x)\n--\n\n"),
    method_def<kScalerFit, scaler_fit>("fit_one", "fit_one($self, x)\n--\n\n"),
    method_def<kScalerLearn, scaler_fit>("learn_one", "learn_one($self, x)\n--\n\n"),
    to_json_def<StandardScalerState>(),
    from_json_def<kScalerFromJson, StandardScalerState>(),
    kMethodsEnd,
};
PyGetSetDef scaler_properties[] = {
    getter_def<+[](const StandardScalerState& s) { return s.samples_seen(); }>("samples_seen"),
    kPropertiesEnd,
};

// ---- LinearRegression ----
constexpr ArgSpec kLinearNew{"LinearRegression.__new__()", {"feature_count", "learning_rate"}, 2};
constexpr ArgSpec kLinearPredict{"LinearRegression.predict_one()", {"x"}, 1};
constexpr ArgSpec kLinearLearn{"LinearRegression.learn_one()", {"x", "y"}, 2};
constexpr ArgSpec kLinearFromJson{"LinearRegression.from_json()", {"json"}, 1};
constexpr auto linear_new = +[](Count n, Float rate) { return LinearRegression::with_sgd(n, rate); };

PyMethodDef linear_methods[] = {
    method_def<kLinearPredict,
               +[](const LinearRegression& m, const Features& x) { return m.predict_one(x); }>(
        "predict_one", kPredictDoc),
    method_def<kLinearLearn, +[](LinearRegression& m, const Features& x, Float y) {
      return m.learn_one(x, y);
    }>("learn_one", kLearnDoc),
    to_json_def<LinearRegression>(),
    from_json_def<kLinearFromJson, LinearRegression>(),
    kMethodsEnd,
};
PyGetSetDef linear_properties[] = {
    getter_def<+[](const LinearRegression& m) { return m.weights; }>("weights"),
    getter_def<+[](const LinearRegression& m) { return m.samples_seen; }>("samples_seen"),
    kPropertiesEnd,
};

// ---- LogisticRegression ----
constexpr ArgSpec kLogisticNew{"LogisticRegression.__new__()", {"feature_count", "learning_rate"},
                               2};
constexpr ArgSpec kLogisticPredict{"LogisticRegression.predict_one()", {"x"}, 1};
constexpr ArgSpec kLogisticProba{"LogisticRegression.predict_proba_one()", {"x"}, 1};
constexpr ArgSpec kLogisticLearn{"LogisticRegression.learn_one()", {"x", "y"}, 2};
constexpr ArgSpec kLogisticFromJson{"LogisticRegression.from_json()", {"json"}, 1};
constexpr auto logistic_new = +[](Count n, Float rate) { return LogisticRegression::with_sgd(n, rate); };

PyMethodDef logistic_methods[] = {
    method_def<kLogisticPredict,
               +[](const LogisticRegression& m, const Features& x) { return m.predict_one(x); }>(
        "predict_one", kPredictDoc),
    method_def<kLogisticProba, +[](const LogisticRegression& m, const Features& x) {
      return m.predict_proba_one(x);
    }>("predict_proba_one", kPredictProbaDoc),
    method_def<kLogisticLearn, +[](LogisticRegression& m, const Features& x, Bool y) {
      return m.learn_one(x, y);
    }>("learn_one", kLearnDoc),
    to_json_def<LogisticRegression>(),
    from_json_def<kLogisticFromJson, LogisticRegression>(),
    kMethodsEnd,
};
PyGetSetDef logistic_properties[] = {
    getter_def<+[](const LogisticRegression& m) { return m.weights; }>("weights"),
    getter_def<+[](const LogisticRegression& m) { return m.samples_seen; }>("samples_seen"),
    kPropertiesEnd,
};

// ---- RegressionPipeline ----
constexpr ArgSpec kRegressionNew{"RegressionPipeline.__new__()",
                                 {"feature_count", "learning_rate"}, 2};
constexpr ArgSpec kRegressionPredict{"RegressionPipeline.predict_one()", {"x"}, 1};
constexpr ArgSpec kRegressionLearn{"RegressionPipeline.learn_one()", {"x", "y"}, 2};
constexpr ArgSpec kRegressionFromJson{"RegressionPipeline.from_json()", {"json"}, 1};
constexpr auto regression_new = +[](Count n, Float rate) { return RegressionPipeline::with_sgd(n, rate); };

PyMethodDef regression_methods[] = {
    method_def<kRegressionPredict,
               +[](const RegressionPipeline& p, const Features& x) { return p.predict_one(x); }>(
        "predict_one", kPredictDoc),
    method_def<kRegressionLearn, +[](RegressionPipeline& p, const Features& x, Float y) {
      return p.learn_one(x, y);
    }>("learn_one", kLearnDoc),
    to_json_def<RegressionPipeline>(),
    from_json_def<kRegressionFromJson, RegressionPipeline>(),
    kMethodsEnd,
};
PyGetSetDef regression_properties[] = {
    getter_def<+[](const RegressionPipeline& p) { return p.samples_seen(); }>("samples_seen"),
    kPropertiesEnd,
};

// ---- ClassificationPipeline ----
constexpr ArgSpec kClassificationNew{"ClassificationPipeline.__new__()",
                                     {"feature_count", "learning_rate"}, 2};
constexpr ArgSpec kClassificationPredict{"ClassificationPipeline.predict_one()", {"x"}, 1};
constexpr ArgSpec kClassificationProba{"ClassificationPipeline.predict_proba_one()", {"x"}, 1};
constexpr ArgSpec kClassificationLearn{"ClassificationPipeline.learn_one()", {"x", "y"}, 2};
constexpr ArgSpec kClassificationFromJson{"ClassificationPipeline.from_json()", {"json"}, 1};
constexpr auto classification_new = +[](Count n, Float rate) {
  return ClassificationPipeline::with_sgd(n, rate);
};

PyMethodDef classification_methods[] = {
    method_def<kClassificationPredict, +[](const ClassificationPipeline& p, const Features& x) {
      return p.predict_one(x);
    }>("predict_one", kPredictDoc),
    method_def<kClassificationProba, +[](const ClassificationPipeline& p, const Features& x) {
      return p.predict_proba_one(x);
    }>("predict_proba_one", kPredictProbaDoc),
    method_def<kClassificationLearn, +[](ClassificationPipeline& p, const Features& x, Bool y) {
      return p.learn_one(x, y);
    }>("learn_one", kLearnDoc),
    to_json_def<ClassificationPipeline>(),
    from_json_def<kClassificationFromJson, ClassificationPipeline>(),
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
  return class_in_cell<StandardScalerState>(
      scaler_class, "builtins.StandardScaler",
      "StandardScaler(feature_count)\n--\n\nOnline standard scaler.",
      &constructor<kScalerNew, scaler_new>,
      scaler_methods, scaler_properties);
}

template <>
PyTypeObject* class_object<LinearRegression>() {
  return class_in_cell<LinearRegression>(
      linear_class, "builtins.LinearRegression",
      "LinearRegression(feature_count, learning_rate)\n--\n\nOnline linear regression.",
      &constructor<kLinearNew, linear_new>,
      linear_methods, linear_properties);
}

template <>
PyTypeObject* class_object<LogisticRegression>() {
  return class_in_cell<LogisticRegression>(
      logistic_class, "builtins.LogisticRegression",
      "LogisticRegression(feature_count, learning_rate)\n--\n\nOnline logistic regression.",
      &constructor<kLogisticNew, logistic_new>,
      logistic_methods, logistic_properties);
}

template <>
PyTypeObject* class_object<RegressionPipeline>() {
  return class_in_cell<RegressionPipeline>(
      regression_class, "builtins.RegressionPipeline",
      "RegressionPipeline(feature_count, learning_rate)\n--\n\nRegression pipeline: "
      "`StandardScaler` + `LinearRegression`.",
      &constructor<kRegressionNew, regression_new>,
      regression_methods, regression_properties);
}

template <>
PyTypeObject* class_object<ClassificationPipeline>() {
  return class_in_cell<ClassificationPipeline>(
      classification_class, "builtins.ClassificationPipeline",
      "ClassificationPipeline(feature_count, learning_rate)\n--\n\nClassification pipeline: "
      "`StandardScaler` + `LogisticRegression`.",
      &constructor<kClassificationNew, classification_new>,
      classification_methods, classification_properties);
}

}  // namespace drel::py
