// drel_ml_ext.metrics: the streaming metrics as classes of the companion
// extension, built on the same call frame, borrows and conversions as
// drel_ml's own classes. Every metric has update, update_many, merge, the
// `value` and `count` properties, to_json and from_json; Rolling wraps any of
// them over a window.
#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>

#include "bulk_columns.hpp"
#include "bulk_run.hpp"
#include "bulk_errors.hpp"
#include "bindings/frame.hpp"
#include "instance_arg.hpp"
#include "metric_units.hpp"
#include "metrics/metric_bulk.hpp"
#include "snapshot/snapshot.hpp"
#include "bindings/snapshot_members.hpp"
#include "without_gil.hpp"

namespace drel::py {
namespace {

// ---- the texts of each class -------------------------------------------

template <class Core>
struct MetricTexts;

#define DREL_METRIC_TEXTS_(Core, Name)                                          \
  template <>                                                                   \
  struct MetricTexts<Core> {                                                    \
    static constexpr const char* name = Name;                                   \
    static constexpr const char* qualified = "drel_ml_ext.metrics." Name;       \
    static constexpr ArgSpec new_spec{Name ".__new__()", {}, 0};                \
    static constexpr ArgSpec update{Name ".update()", {"y_true", "y_pred"}, 2}; \
    static constexpr ArgSpec update_many{Name ".update_many()", {"y_true", "y_pred"}, 2}; \
    static constexpr ArgSpec merge{Name ".merge()", {"other"}, 1};              \
  };
DREL_METRICS(DREL_METRIC_TEXTS_)
#undef DREL_METRIC_TEXTS_

template <>
struct MetricTexts<RollingMetric> {
  static constexpr const char* name = "Rolling";
  static constexpr const char* qualified = "drel_ml_ext.metrics.Rolling";
  static constexpr ArgSpec new_spec{"Rolling.__new__()", {"metric", "window"}, 2};
  static constexpr ArgSpec update{"Rolling.update()", {"y_true", "y_pred"}, 2};
  static constexpr ArgSpec update_many{"Rolling.update_many()", {"y_true", "y_pred"}, 2};
  static constexpr ArgSpec merge{"Rolling.merge()", {"other"}, 1};
};

// A truth or prediction parameter: bool as update_one of a classifier takes it, or a real.
template <class T>
using ParamOf = std::conditional_t<std::is_same_v<T, bool>, Bool, Float>;

template <class Core>
std::uint64_t sample_count(const Core& m) {
  if constexpr (requires { m.count(); }) {
    return m.count();
  } else {
    return m.count;
  }
}

Outcome<void> python_error() { return std::unexpected(Failure(PythonError{})); }

Outcome<void> lifted(Status&& r) { return Lift<Status>::apply(std::move(r)); }

// ---- update_many ---------------------------------------------------------

// Both columns converted as update would convert each pair (y_true first),
// then the core over them without the interpreter lock. With more than one
// block, or rows before a conversion failure, the core runs on a copy,
// committed only when every row passed.
template <class M>
Outcome<void> update_many_of(M& m, PyObject* y_true, PyObject* y_pred) {
  ColumnReader<ColumnOf<typename M::Truth>> truths("y_true");
  ColumnReader<ColumnOf<typename M::Prediction>> predictions("y_pred");
  Conversion conversion;
  if (!truths.open(y_true) || !predictions.open(y_pred) ||
      !convert_inputs(predictions, &truths, conversion))
    return python_error();
  const std::size_t n = conversion.count;
  const std::size_t block = std::min(truths.block_rows(), predictions.block_rows());
  BulkStatus status;
  SignalPoll signals;
  if (n > 0) {
    status = without_gil([&]() -> BulkStatus {
      if (!conversion.failure && block >= n)
        return update_many(m, truths.values(0, n), predictions.values(0, n));
      M work = m;
      BulkStatus done =
          over_blocks(n, block, signals, [&](std::size_t first, std::size_t count) {
            return update_many(work, truths.values(first, count),
                               predictions.values(first, count));
          });
      if (done && !conversion.failure && !signals.raised()) m = std::move(work);
      return done;
    });
  }
  if (signals.raised()) return python_error();
  if (!status) {
    raise_core_row_error(status.error());
    return python_error();
  }
  if (conversion.failure) {
    raise_row_failure(std::move(*conversion.failure));
    return python_error();
  }
  return {};
}

// ---- merge -----------------------------------------------------------------

// `other` must be of the receiver's class; merging an object with itself
// merges it with a copy of itself.
template <class Core>
Outcome<void> merge_with(Core& m, Object other) {
  PyTypeObject* type = class_object<Core>();
  if (!Py_IS_TYPE(other.value, type)) {
    PyErr_Format(PyExc_TypeError, "merge() needs a %s, not '%s'", MetricTexts<Core>::name,
                 Py_TYPE(other.value)->tp_name);
    return python_error();
  }
  Instance<Core>* source = instance_of<Core>(other.value);
  if (&source->value == &m) {
    const Core copy = m;
    return lifted(m.merge(copy));
  }
  Borrow<Access::Shared> borrow(source->borrow);
  if (!borrow) return python_error();
  return lifted(m.merge(source->value));
}

// ---- repr ------------------------------------------------------------------

template <class Core>
PyObject* metric_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    auto* instance = instance_of<Core>(self);
    Borrow<Access::Shared> borrow(instance->borrow);
    if (!borrow) return nullptr;
    Ref value = Ref::steal(to_python(instance->value.value()));
    if (!value) return nullptr;
    const unsigned long long count = sample_count(instance->value);
    if constexpr (std::is_same_v<Core, RollingMetric>) {
      const std::string metric(instance->value.metric_name());
      return PyUnicode_FromFormat("Rolling(%s, window=%llu, count=%llu, value=%R)",
                                  metric.c_str(),
                                  static_cast<unsigned long long>(instance->value.window()), count,
                                  value.get());
    } else {
      return PyUnicode_FromFormat("%s(count=%llu, value=%R)", MetricTexts<Core>::name, count,
                                  value.get());
    }
  });
}

// ---- the plain metrics -----------------------------------------------------

template <class Core>
constexpr const char* metric_doc();
template <> constexpr const char* metric_doc<MeanAbsoluteError>() {
  return "MAE()\n--\n\nMean absolute error of real predictions. The errors are summed "
         "exactly and rounded once when read.";
}
template <> constexpr const char* metric_doc<MeanSquaredError>() {
  return "MSE()\n--\n\nMean squared error of real predictions, each squared error "
         "rounded once and summed exactly.";
}
template <> constexpr const char* metric_doc<RootMeanSquaredError>() {
  return "RMSE()\n--\n\nThe square root of the mean squared error.";
}
template <> constexpr const char* metric_doc<R2>() {
  return "R2()\n--\n\nCoefficient of determination, 1 - SSE / SST, SST from the targets' "
         "Welford moments. With constant targets: 1.0 for a perfect fit, else 0.0.";
}
template <> constexpr const char* metric_doc<Accuracy>() {
  return "Accuracy()\n--\n\nShare of bool predictions equal to their bool truths.";
}
template <> constexpr const char* metric_doc<Precision>() {
  return "Precision()\n--\n\nTrue positives over predicted positives (0.0 when nothing "
         "was predicted positive).";
}
template <> constexpr const char* metric_doc<Recall>() {
  return "Recall()\n--\n\nTrue positives over actual positives (0.0 when there was none).";
}
template <> constexpr const char* metric_doc<F1>() {
  return "F1()\n--\n\nHarmonic mean of precision and recall, 2 TP / (2 TP + FP + FN).";
}
template <> constexpr const char* metric_doc<LogLoss>() {
  return "LogLoss()\n--\n\nMean binary log loss of probabilities of the positive class, "
         "each clamped to [1e-15, 1 - 1e-15].";
}
template <> constexpr const char* metric_doc<RocAuc>() {
  return "ROCAUC()\n--\n\nArea under the ROC curve of the whole stream, exactly (ties "
         "count one half), from the ranks of the scores seen; O(log n) per update in the "
         "number of distinct scores.";
}

constexpr const char* kUpdateDoc =
    "update($self, y_true, y_pred)\n--\n\nScores one prediction against its truth; a refused "
    "pair changes nothing.";
constexpr const char* kUpdateManyDoc =
    "update_many($self, y_true, y_pred)\n--\n\nScores two equally long arrays or iterables "
    "pair by pair, as update does, without the interpreter lock; all or nothing: a refused "
    "pair names its row.";
constexpr const char* kMergeDoc =
    "merge($self, other)\n--\n\nAdds the samples `other` has seen, as if this metric had "
    "seen them after its own; `other` is unchanged.";
constexpr const char* kValueDoc =
    "The metric's value, or None while it is undefined (no samples yet; for ROCAUC, until "
    "both classes have been seen).";
constexpr const char* kCountDoc = "The number of samples scored.";

template <class Core>
Outcome<void> update_one(Core& m, ParamOf<typename Core::Truth> y_true,
                         ParamOf<typename Core::Prediction> y_pred) {
  return lifted(m.update(y_true.value, y_pred.value));
}

template <class Core>
Outcome<void> update_many_method(Core& m, Object y_true, Object y_pred) {
  return update_many_of(m, y_true.value, y_pred.value);
}

template <class Core>
struct MetricClass {
  using T = MetricTexts<Core>;
  static Core fresh() { return Core{}; }
  static inline PyMethodDef methods[] = {
      method_def<T::update, &update_one<Core>>("update", kUpdateDoc),
      method_def<T::update_many, &update_many_method<Core>>("update_many", kUpdateManyDoc),
      method_def<T::merge, &merge_with<Core>>("merge", kMergeDoc),
      to_json_def<Core>(),
      from_json_def<Core>(),
      kMethodsEnd,
  };
  static inline PyGetSetDef properties[] = {
      {"value", &getter<+[](const Core& m) { return m.value(); }>, nullptr, kValueDoc, nullptr},
      {"count", &getter<+[](const Core& m) { return sample_count(m); }>, nullptr, kCountDoc,
       nullptr},
      kPropertiesEnd,
  };
  static inline OnceObject cell;
};

// ---- Rolling ---------------------------------------------------------------

// The rolling metric of the class of `metric`, which must not have seen any
// sample: only its class is taken.
template <class Core>
bool fresh_metric_class(PyObject* metric, std::optional<RollingMetric>& out, std::uint64_t window,
                        Outcome<void>& status) {
  if (!Py_IS_TYPE(metric, class_object<Core>())) return false;
  auto* instance = instance_of<Core>(metric);
  Borrow<Access::Shared> borrow(instance->borrow);
  if (!borrow) {
    status = python_error();
    return true;
  }
  if (sample_count(instance->value) != 0) {
    PyErr_Format(PyExc_ValueError,
                 "Rolling() takes a metric that has seen no samples; this %s has seen %llu",
                 MetricTexts<Core>::name,
                 static_cast<unsigned long long>(sample_count(instance->value)));
    status = python_error();
    return true;
  }
  auto rolling = Rolling<Core>::create(window);
  if (!rolling) {
    status = std::unexpected(Failure(std::move(rolling).error()));
    return true;
  }
  out = RollingMetric{std::move(*rolling)};
  return true;
}

Outcome<RollingMetric> rolling_new(Object metric, Count window) {
  std::optional<RollingMetric> made;
  Outcome<void> status;
#define DREL_TRY_METRIC_(Core, Name) \
  fresh_metric_class<Core>(metric.value, made, window.value, status) ||
  const bool known = DREL_METRICS(DREL_TRY_METRIC_) false;
#undef DREL_TRY_METRIC_
  if (!known) {
    PyErr_Format(PyExc_TypeError, "Rolling() argument 'metric' must be a metric of "
                 "drel_ml_ext.metrics, not '%s'%s", Py_TYPE(metric.value)->tp_name,
                 class_itself_note(metric.value, is_metric_class(metric.value)).c_str());
    return std::unexpected(Failure(PythonError{}));
  }
  if (!status) return std::unexpected(std::move(status).error());
  return std::move(*made);
}

// A value converted as the window's metric's update converts it, with the
// same note on failure.
template <class T>
bool convert_param(PyObject* o, const char* name, T& out) {
  ParamOf<T> param;
  if (!param.convert(o)) {
    add_processing_note(name);
    return false;
  }
  out = param.value;
  return true;
}

Outcome<void> rolling_update(RollingMetric& r, Object y_true, Object y_pred) {
  return std::visit(
      [&]<class M>(Rolling<M>& rolling) -> Outcome<void> {
        typename M::Truth t{};
        typename M::Prediction p{};
        if (!convert_param(y_true.value, "y_true", t) || !convert_param(y_pred.value, "y_pred", p))
          return python_error();
        return lifted(rolling.update(t, p));
      },
      r.variant);
}

Outcome<void> rolling_update_many(RollingMetric& r, Object y_true, Object y_pred) {
  return std::visit(
      [&](auto& rolling) { return update_many_of(rolling, y_true.value, y_pred.value); },
      r.variant);
}

PyMethodDef rolling_methods[] = {
    method_def<MetricTexts<RollingMetric>::update, &rolling_update>("update", kUpdateDoc),
    method_def<MetricTexts<RollingMetric>::update_many, &rolling_update_many>("update_many",
                                                                              kUpdateManyDoc),
    method_def<MetricTexts<RollingMetric>::merge, &merge_with<RollingMetric>>(
        "merge",
        "merge($self, other)\n--\n\nThe window of `other`'s stream continuing this one's: its "
        "samples come after these, and the last `window` of both remain."),
    to_json_def<RollingMetric>(),
    from_json_def<RollingMetric>(),
    kMethodsEnd,
};

PyGetSetDef rolling_properties[] = {
    {"value", &getter<+[](const RollingMetric& r) { return r.value(); }>, nullptr,
     "The metric's value over the window, or None while it is undefined.", nullptr},
    {"count", &getter<+[](const RollingMetric& r) { return r.count(); }>, nullptr,
     "The number of samples in the window.", nullptr},
    {"window", &getter<+[](const RollingMetric& r) { return r.window(); }>, nullptr,
     "The most samples the window holds.", nullptr},
    {"metric", &getter<+[](const RollingMetric& r) { return std::string(r.metric_name()); }>,
     nullptr, "The name of the metric's class, e.g. 'MAE'.", nullptr},
    kPropertiesEnd,
};

OnceObject rolling_cell;

constexpr const char* kRollingDoc =
    "Rolling(metric, window)\n--\n\nThe metric of `metric`'s class over the last `window` "
    "samples only. `metric` must not have seen any sample. A sample leaving the window is "
    "removed exactly: the value equals, bit for bit, that of a fresh metric given the "
    "window's samples.";

}  // namespace

#define DREL_METRIC_CLASS_(Core, Name)                                                         \
  template <>                                                                                  \
  PyTypeObject* class_object<Core>() {                                                         \
    using C = MetricClass<Core>;                                                               \
    return reinterpret_cast<PyTypeObject*>(C::cell.get([] {                                    \
      return create_class(ClassSpec{MetricTexts<Core>::qualified, metric_doc<Core>(),          \
                                    static_cast<Py_ssize_t>(sizeof(Instance<Core>)),           \
                                    &constructor<MetricTexts<Core>::new_spec, &C::fresh>,      \
                                    &dealloc_instance<Core>, C::methods, C::properties,        \
                                    &metric_repr<Core>});                                      \
    }));                                                                                       \
  }
DREL_METRICS(DREL_METRIC_CLASS_)
#undef DREL_METRIC_CLASS_

template <>
PyTypeObject* class_object<RollingMetric>() {
  return reinterpret_cast<PyTypeObject*>(rolling_cell.get([] {
    return create_class(ClassSpec{MetricTexts<RollingMetric>::qualified, kRollingDoc,
                                  static_cast<Py_ssize_t>(sizeof(Instance<RollingMetric>)),
                                  &constructor<MetricTexts<RollingMetric>::new_spec, &rolling_new>,
                                  &dealloc_instance<RollingMetric>, rolling_methods,
                                  rolling_properties, &metric_repr<RollingMetric>});
  }));
}

int add_metric_classes(PyObject* module) {
  const auto add = [module](PyTypeObject* type, const char* name) {
    return type != nullptr && PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type)) == 0;
  };
#define DREL_ADD_METRIC_(Core, Name) add(class_object<Core>(), Name) &&
  const bool added = DREL_METRICS(DREL_ADD_METRIC_) add(class_object<RollingMetric>(), "Rolling");
#undef DREL_ADD_METRIC_
  return added ? 0 : -1;
}

}  // namespace drel::py
