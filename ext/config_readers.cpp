#include "config_readers.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include "config/optimizer_table.hpp"
#include "config_read.hpp"
#include "bindings/frame.hpp"
#include "linear/linear_regression.hpp"
#include "linear/logistic_regression.hpp"
#include "pipeline/pipeline.hpp"
#include "preprocessing/scaler_step.hpp"
#include "preprocessing/standard_scaler.hpp"

namespace drel::py {
namespace {

// ---- what is read ---------------------------------------------------------

const LinearRegression& model_of(const LinearRegression& m) { return m; }
const LogisticRegression& model_of(const LogisticRegression& m) { return m; }
const LinearRegression& model_of(const RegressionPipeline& p) { return p.model; }
const LogisticRegression& model_of(const ClassificationPipeline& p) { return p.model; }

const StandardScalerState& scaler_of(const StandardScalerState& s) { return s; }
template <class Pipeline>
const StandardScalerState& scaler_of(const Pipeline& p) {
  return p.transformer;
}

// An optimizer's name, its settings in its Config's order, and its count of steps.
struct OptimizerView {
  std::string_view kind;
  std::array<std::pair<std::string_view, double>, kOptimizerSettingCount> settings{};
  std::size_t setting_count = 0;
  std::uint64_t samples_seen = 0;
};

struct LossView {
  const char* kind;
  const char* parameter;  // null for the squared error, which has none
  double value;
};

template <class O>
OptimizerView optimizer_view(const O& o) {
  OptimizerView view{O::config_name, {}, 0, o.samples_seen};
  std::apply(
      [&](const auto&... field) {
        ((view.settings[view.setting_count++] = {field.key, o.config.*field.member}), ...);
      },
      config_fields<O>());
  return view;
}

// One overload per loss: an alternative without one does not compile.
LossView loss_view(const SquaredError&) { return {"squared", nullptr, 0.0}; }
LossView loss_view(const HuberLoss& huber) { return {"huber", "delta", huber.delta}; }
LossView loss_view(const RegressionLoss& loss) {
  return std::visit([](const auto& alternative) { return loss_view(alternative); }, loss.variant);
}
LossView loss_view(const BinaryLogLoss& loss) { return {"log", "epsilon", loss.epsilon}; }

constexpr const char* kModels =
    "a LinearRegression, LogisticRegression, RegressionPipeline or ClassificationPipeline";

struct InterceptReader {
  static constexpr const char* function = "intercept()";
  static constexpr const char* accepted = kModels;
  double operator()(const auto& o) const { return model_of(o).intercept; }
};

struct FeatureCountReader {
  static constexpr const char* function = "feature_count()";
  static constexpr const char* accepted =
      "a StandardScaler, LinearRegression, LogisticRegression, RegressionPipeline or "
      "ClassificationPipeline";
  std::uint64_t operator()(const StandardScalerState& s) const { return s.feature_count; }
  std::uint64_t operator()(const LinearRegression& m) const { return m.feature_count; }
  std::uint64_t operator()(const LogisticRegression& m) const { return m.feature_count; }
  // A pipeline takes the vectors its scaler takes.
  std::uint64_t operator()(const RegressionPipeline& p) const { return p.transformer.feature_count; }
  std::uint64_t operator()(const ClassificationPipeline& p) const {
    return p.transformer.feature_count;
  }
};

struct OptimizerReader {
  static constexpr const char* function = "optimizer_settings()";
  static constexpr const char* accepted = kModels;
  OptimizerView operator()(const auto& o) const {
    return std::visit([](const auto& optimizer) { return optimizer_view(optimizer); },
                      model_of(o).optimizer.variant);
  }
};

struct LossReader {
  static constexpr const char* function = "loss_settings()";
  static constexpr const char* accepted = kModels;
  LossView operator()(const auto& o) const { return loss_view(model_of(o).loss); }
};

struct ScalerReader {
  static constexpr const char* function = "scaler_settings()";
  static constexpr const char* accepted =
      "a StandardScaler, RegressionPipeline or ClassificationPipeline";
  StandardScalerConfig operator()(const auto& o) const { return scaler_of(o).config; }
};

struct WeightsReader {
  static constexpr const char* function = "weights()";
  static constexpr const char* accepted = kModels;
  std::vector<double> operator()(const auto& o) const { return model_of(o).weights; }
};

// Per feature: the running mean, the population variance (0 before the first
// sample) and the divisor transform applies; and the largest sample count.
struct ScalerStatistics {
  std::vector<double> means;
  std::vector<double> variances;
  std::vector<double> scales;
  std::uint64_t count = 0;
};

struct ScalerStatisticsReader {
  static constexpr const char* function = "scaler_statistics()";
  static constexpr const char* accepted =
      "a StandardScaler, RegressionPipeline or ClassificationPipeline";
  ScalerStatistics operator()(const auto& o) const {
    const StandardScalerState& s = scaler_of(o);
    const std::size_t n = std::min({s.counts.size(), s.means.size(), s.m2s.size()});
    ScalerStatistics out;
    out.means.assign(s.means.begin(), s.means.begin() + static_cast<std::ptrdiff_t>(n));
    out.variances.resize(n);
    out.scales.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
      out.variances[i] = s.counts[i] != 0 ? s.m2s[i] / as_real(s.counts[i]) : 0.0;
      out.scales[i] = s.config.with_std ? feature_scale(s.counts[i], s.m2s[i], s.config.epsilon) : 1.0;
      out.count = std::max(out.count, s.counts[i]);
    }
    return out;
  }
};

struct PartsReader {
  static constexpr const char* function = "pipeline_parts()";
  static constexpr const char* accepted = "a RegressionPipeline or ClassificationPipeline";
  template <class Pipeline>
  auto operator()(const Pipeline& p) const {
    return std::pair{p.transformer, p.model};
  }
};

// ---- Python results ---------------------------------------------------------

// A new dict of (key, new reference) items; null if any value is null. Every
// value reference is consumed.
PyObject* new_dict(std::initializer_list<std::pair<const char*, PyObject*>> items) {
  Ref dict = Ref::steal(PyDict_New());
  bool ok = static_cast<bool>(dict);
  for (const auto& [key, raw] : items) {
    Ref value = Ref::steal(raw);
    ok = ok && value && PyDict_SetItemString(dict.get(), key, value.get()) == 0;
  }
  return ok ? dict.release() : nullptr;
}

PyObject* text(const char* s) { return PyUnicode_FromString(s); }

PyObject* optimizer_dict(OptimizerView&& v) {
  Ref dict = Ref::steal(new_dict({{"kind", PyUnicode_FromStringAndSize(v.kind.data(), std::ssize(v.kind))}}));
  for (std::size_t i = 0; dict && i < v.setting_count; ++i) {
    const auto& [key, value] = v.settings[i];
    Ref name = Ref::steal(PyUnicode_FromStringAndSize(key.data(), std::ssize(key)));
    Ref number = Ref::steal(PyFloat_FromDouble(value));
    if (!name || !number || PyDict_SetItem(dict.get(), name.get(), number.get()) != 0) dict = Ref{};
  }
  if (!dict) return nullptr;
  Ref seen = Ref::steal(PyLong_FromUnsignedLongLong(v.samples_seen));
  if (!seen || PyDict_SetItemString(dict.get(), "samples_seen", seen.get()) != 0) return nullptr;
  return dict.release();
}

PyObject* loss_dict(LossView&& v) {
  if (v.parameter == nullptr) return new_dict({{"kind", text(v.kind)}});
  return new_dict({{"kind", text(v.kind)}, {v.parameter, PyFloat_FromDouble(v.value)}});
}

PyObject* scaler_dict(StandardScalerConfig&& c) {
  return new_dict({{"with_mean", PyBool_FromLong(c.with_mean)},
                   {"with_std", PyBool_FromLong(c.with_std)},
                   {"epsilon", PyFloat_FromDouble(c.epsilon)}});
}

PyObject* statistics_dict(ScalerStatistics&& s) {
  return new_dict({{"means", to_python(std::move(s.means))},
                   {"variances", to_python(std::move(s.variances))},
                   {"scales", to_python(std::move(s.scales))},
                   {"count", PyLong_FromUnsignedLongLong(s.count)}});
}

// Two new drel_ml instances, independent of the pipeline they came from.
template <class Model>
PyObject* parts_tuple(std::pair<StandardScalerState, Model>&& parts) {
  Ref scaler = Ref::steal(to_python(std::move(parts.first)));
  if (!scaler) return nullptr;
  Ref model = Ref::steal(to_python(std::move(parts.second)));
  if (!model) return nullptr;
  return PyTuple_Pack(2, scaler.get(), model.get());
}

// ---- entry points -----------------------------------------------------------

struct AsPython {
  template <class T>
  PyObject* operator()(T&& v) const {
    return to_python(std::forward<T>(v));
  }
};
struct AsOptimizerDict {
  PyObject* operator()(OptimizerView&& v) const { return optimizer_dict(std::move(v)); }
};
struct AsLossDict {
  PyObject* operator()(LossView&& v) const { return loss_dict(std::move(v)); }
};
struct AsScalerDict {
  PyObject* operator()(StandardScalerConfig&& c) const { return scaler_dict(std::move(c)); }
};
struct AsStatisticsDict {
  PyObject* operator()(ScalerStatistics&& s) const { return statistics_dict(std::move(s)); }
};
struct AsPartsTuple {
  template <class Model>
  PyObject* operator()(std::pair<StandardScalerState, Model>&& parts) const {
    return parts_tuple(std::move(parts));
  }
};

// The classes a reader accepts.
template <class... Cores>
struct OneOf {};
using Models = OneOf<LinearRegression, LogisticRegression, RegressionPipeline, ClassificationPipeline>;
using Sized = OneOf<StandardScalerState, LinearRegression, LogisticRegression, RegressionPipeline,
                    ClassificationPipeline>;
using Scaled = OneOf<StandardScalerState, RegressionPipeline, ClassificationPipeline>;
using Pipelines = OneOf<RegressionPipeline, ClassificationPipeline>;

template <class Reader, class Convert, class... Cores>
PyObject* reader_entry(PyObject*, PyObject* o) {
  return read_shared<Reader, Cores...>(o, Convert{});
}

template <class Reader, class Convert, class... Cores>
PyMethodDef reader_def(const char* name, OneOf<Cores...>) {
  return {name, &reader_entry<Reader, Convert, Cores...>, METH_O,
          "See the drel_ml_ext function of this name."};
}

const std::array<PyMethodDef, 8> readers{
    reader_def<InterceptReader, AsPython>("intercept", Models{}),
    reader_def<WeightsReader, AsPython>("weights", Models{}),
    reader_def<ScalerStatisticsReader, AsStatisticsDict>("scaler_statistics", Scaled{}),
    reader_def<FeatureCountReader, AsPython>("feature_count", Sized{}),
    reader_def<OptimizerReader, AsOptimizerDict>("optimizer_settings", Models{}),
    reader_def<LossReader, AsLossDict>("loss_settings", Models{}),
    reader_def<ScalerReader, AsScalerDict>("scaler_settings", Scaled{}),
    reader_def<PartsReader, AsPartsTuple>("pipeline_parts", Pipelines{}),
};

}  // namespace

std::span<const PyMethodDef> config_readers() { return readers; }

}  // namespace drel::py
