// learn_many_by_key and update_many_by_key: many objects trained in one pass
// over rows grouped by key. Rows offsets[k]:offsets[k + 1] go to objects[k],
// in order, exactly as learn_many(objects[k], X[offsets[k]:offsets[k + 1]], ...)
// would take them.
//
// One call converts X (and y) once, as learn_many does, borrows every object
// exclusively for the whole call, and runs the core without the interpreter
// lock over private copies of the states. All or nothing for the whole call:
// the copies replace the states only when every key has learned every row, so
// a refused row leaves every object as it was.
#include <type_traits>
#include <vector>

#include "bulk_columns.hpp"
#include "bulk_docs.hpp"
#include "by_key.hpp"
#include "bulk_roles.hpp"
#include "bulk_rows.hpp"
#include "bulk_run.hpp"
#include "bound_classes.hpp"
#include "bindings/frame.hpp"
#include "bindings/guard.hpp"
#include "pipeline/pipeline.hpp"
#include "preprocessing/scaler_step.hpp"
#include "units.hpp"
#include "without_gil.hpp"

namespace drel::py {
namespace {

using namespace by_key;

constexpr KeySpec kLearnManyByKey{"learn_many_by_key()", {"objects", "X", "y", "offsets"}, 4};
constexpr KeySpec kUpdateManyByKey{"update_many_by_key()", {"statistics", "xs", "offsets"}, 3};
constexpr KeySpec kLearnEach{"learn_each()", {"models", "x", "ys"}, 3};

// Copies the states, learns, and commits every copy when all went well.
template <class Core, class Fetch, class Learn>
PyObject* run_keys(const KeySpec& spec, const Borrowed<Core>& borrowed,
                   const std::vector<std::size_t>& offsets, Conversion& conversion,
                   std::size_t block, Fetch&& fetch, Learn&& learn) {
  if (!conversion.failure && !offsets_cover(spec, offsets, conversion.count)) return nullptr;
  const auto instances = borrowed.instances();
  SignalPoll signals;
  const auto status = without_gil([&]() -> std::expected<void, KeyedError> {
    std::vector<Core> work;
    work.reserve(instances.size());
    for (Instance<Core>* instance : instances) work.push_back(instance->value);
    auto done = learn_keys(work, offsets, conversion.count, block, signals, fetch, learn);
    if (done && !conversion.failure && !signals.raised()) {
      for (std::size_t k = 0; k < work.size(); ++k) instances[k]->value = std::move(work[k]);
    }
    return done;
  });
  if (signals.raised()) return nullptr;
  if (!status) {
    raise_keyed_error(spec, status.error());
    return nullptr;
  }
  if (!finished(BulkStatus{}, conversion)) return nullptr;
  Py_RETURN_NONE;
}

template <class Core>
PyObject* learn_by_key_as(PyObject* items, PyObject* X, PyObject* y, PyObject* offsets_arg) {
  using Target = typename TargetOf<Core>::type;
  const Py_ssize_t keys = PyTuple_GET_SIZE(items);
  if (!all_of_class<Core>(kLearnManyByKey, items)) return nullptr;
  const bool given = y != Py_None;
  if (given == std::is_void_v<Target>) {
    PyErr_Format(PyExc_TypeError,
                 given ? "learn_many_by_key() got y, but a %s learns from X alone: pass None"
                       : "learn_many_by_key() needs y: a %s learns from X and y",
                 short_name(class_object<Core>()));
    return nullptr;
  }
  std::vector<std::size_t> offsets;
  if (!read_offsets(kLearnManyByKey, offsets_arg, static_cast<std::size_t>(keys), offsets))
    return nullptr;
  Borrowed<Core> borrowed;
  if (!borrowed.take(kLearnManyByKey, items)) return nullptr;
  RowReader rows;
  Conversion conversion;
  if (!rows.open(X)) return nullptr;
  if constexpr (std::is_void_v<Target>) {
    if (!convert_inputs(rows, nullptr, conversion)) return nullptr;
    return run_keys(
        kLearnManyByKey, borrowed, offsets, conversion, rows.block_rows(),
        [&](std::size_t first, std::size_t count) { return rows.rows(first, count); },
        [](Core& state, const Rows& view, std::size_t lo, std::size_t count) {
          return learn_many(state, slice(view, lo, count));
        });
  } else {
    ColumnReader<Target> targets("y");
    if (!targets.open(y) || !convert_inputs(rows, &targets, conversion)) return nullptr;
    struct View {
      Rows rows;
      std::span<const Target> y;
    };
    return run_keys(
        kLearnManyByKey, borrowed, offsets, conversion,
        std::min(rows.block_rows(), targets.block_rows()),
        [&](std::size_t first, std::size_t count) {
          return View{rows.rows(first, count), targets.values(first, count)};
        },
        [](Core& state, const View& view, std::size_t lo, std::size_t count) {
          return learn_many(state, slice(view.rows, lo, count), view.y.subspan(lo, count));
        });
  }
}

template <class Core>
PyObject* update_by_key_as(PyObject* items, PyObject* xs, PyObject* offsets_arg) {
  const Py_ssize_t keys = PyTuple_GET_SIZE(items);
  if (!all_of_class<Core>(kUpdateManyByKey, items)) return nullptr;
  std::vector<std::size_t> offsets;
  if (!read_offsets(kUpdateManyByKey, offsets_arg, static_cast<std::size_t>(keys), offsets))
    return nullptr;
  Borrowed<Core> borrowed;
  if (!borrowed.take(kUpdateManyByKey, items)) return nullptr;
  ColumnReader<double> values("xs");
  Conversion conversion;
  if (!values.open(xs) || !convert_inputs(values, nullptr, conversion)) return nullptr;
  return run_keys(
      kUpdateManyByKey, borrowed, offsets, conversion, values.block_rows(),
      [&](std::size_t first, std::size_t count) { return values.values(first, count); },
      [](Core& state, std::span<const double> view, std::size_t lo, std::size_t count) {
        return update_many(state, view.subspan(lo, count));
      });
}

// One sample through a pipeline's fast step, which checks everything before
// its first write: true when it learned the sample, false (the pipeline as it
// was) when the step declined it.
template <class Core>
bool learned_whole(Core& p, std::span<const double> x, typename TargetOf<Core>::type y) {
  FitScratch scratch(3 * x.size());
  return learn_step<Commit::CheckThenWrite>(p, x, y, &scratch[0], false,
                                            scaling_of(p.transformer.config)) ==
         StepOutcome::Done;
}

// One sample learned by many models of one class, models[k] with target
// ys[k]: by every model or, when one refuses it, by none. For a one-versus-rest
// classifier's models over dense rows (HashedSteps.learn_each takes hashed
// dicts). Each model is copied before its step and the copies put back, last
// first, when a step is refused; the refusing model too, for a pipeline's
// refused step keeps the sample in its scaler. No Python code runs between
// the first step and the last, so nothing can interrupt the putting back.
template <class Core>
PyObject* learn_each_as(PyObject* items, PyObject* x, PyObject* ys_arg) {
  if (!all_of_class<Core>(kLearnEach, items)) return nullptr;
  Ref ys = object_tuple(kLearnEach, ys_arg, 2);
  if (!ys) return nullptr;
  const std::size_t n = static_cast<std::size_t>(PyTuple_GET_SIZE(items));
  if (static_cast<std::size_t>(PyTuple_GET_SIZE(ys.get())) != n) {
    PyErr_Format(PyExc_ValueError, "learn_each(): %zu models but %zd targets", n,
                 PyTuple_GET_SIZE(ys.get()));
    return nullptr;
  }
  // As a model's learn_one converts them: the targets, then the features.
  std::vector<TargetParam<Core>> targets(n);
  for (std::size_t k = 0; k < n; ++k) {
    if (!targets[k].convert(PyTuple_GET_ITEM(ys.get(), static_cast<Py_ssize_t>(k)))) {
      add_processing_note("ys");
      return nullptr;
    }
  }
  FeatureBuffer row;
  if (!to_features(x, row)) {
    add_processing_note("x");
    return nullptr;
  }
  // Python code may have run in the conversions: the borrows come after them.
  Borrowed<Core> borrowed;
  if (!borrowed.take(kLearnEach, items)) return nullptr;
  const auto instances = borrowed.instances();
  const std::span<const double> sample(row.data(), row.size());
  // A pipeline alone (a binary classifier's, a regressor's) needs the copy
  // that puts it back only for a sample its fast step declines.
  if constexpr (requires(Core& c) { c.transformer; }) {
    if (n == 1 && learned_whole(instances[0]->value, sample, targets[0])) Py_RETURN_NONE;
  }
  std::vector<Core> before;
  before.reserve(n);
  for (std::size_t k = 0; k < n; ++k) {
    before.push_back(instances[k]->value);
    const Status done = instances[k]->value.learn_one(sample, targets[k]);
    if (!done) [[unlikely]] {
      for (std::size_t j = k + 1; j-- > 0;) instances[j]->value = std::move(before[j]);
      raise_failure(Failure(done.error()));
      return nullptr;
    }
  }
  Py_RETURN_NONE;
}

PyObject* learn_each_entry(PyObject* const* args) {
  Ref items = object_tuple(kLearnEach, args[0]);
  if (!items) return nullptr;
  if (PyTuple_GET_SIZE(items.get()) == 0) Py_RETURN_NONE;
  return by_first_class(filter_t<LearnsWithTargets, StatefulClasses>{}, kLearnEach, items.get(),
                        [&]<class Core>() { return learn_each_as<Core>(items.get(), args[1], args[2]); });
}

PyObject* learn_many_by_key_entry(PyObject* const* args) {
  Ref items = object_tuple(kLearnManyByKey, args[0]);
  if (!items) return nullptr;
  // Without objects there is no class to hold y against: X and y (of no rows)
  // are read as a scaler's or a model's, as y is left out or given.
  if (PyTuple_GET_SIZE(items.get()) == 0 && args[2] == Py_None) {
    return learn_by_key_as<StandardScalerState>(items.get(), args[1], args[2], args[3]);
  }
  return by_first_class(
      Learners{}, kLearnManyByKey, items.get(), [&]<class Core>() {
        return learn_by_key_as<Core>(items.get(), args[1], args[2], args[3]);
      });
}

PyObject* update_many_by_key_entry(PyObject* const* args) {
  Ref items = object_tuple(kUpdateManyByKey, args[0]);
  if (!items) return nullptr;
  return by_first_class(
      Statistics{}, kUpdateManyByKey, items.get(), [&]<class Core>() {
        return update_by_key_as<Core>(items.get(), args[1], args[2]);
      });
}

constexpr const char* kLearnManyByKeyDoc =
    "learn_many_by_key($module, objects, X, y, offsets, /)\n--\n\n"
    "Train many objects in one call: rows offsets[k]:offsets[k + 1] of X (and y)\n"
    "go to objects[k], in order.\n\n"
    "Each object ends exactly as learn_many(objects[k], X[offsets[k]:offsets[k + 1]],\n"
    "y[offsets[k]:offsets[k + 1]]) leaves it; X and y are converted once, as\n"
    "learn_many converts them, and the interpreter lock is released while the\n"
    "core runs.\n\n"
    "Parameters\n"
    "    objects: a list or tuple of distinct objects of one class: LinearRegression,\n"
    "        LogisticRegression, RegressionPipeline, ClassificationPipeline or\n"
    "        StandardScaler.\n"
    "    X: the feature vectors, grouped by key, as learn_many takes them.\n"
    "    y: the targets, as learn_many takes them; None for StandardScaler.\n"
    "    offsets: len(objects) + 1 row positions (a 1-D int64 array or any\n"
    "        iterable of integers), from 0 to the number of rows, never decreasing.\n\n"
    "Returns\n"
    "    None.\n\n"
    "Raises\n"
    "    All or nothing for the whole call: when any row is rejected, every object\n"
    "    is left as it was. A core error is RuntimeError with \" (row N, objects[k])\"\n"
    "    appended, N counting rows of X; a conversion error is raised as\n"
    "    learn_many raises it. The same object twice, offsets of the wrong length,\n"
    "    not starting at 0, decreasing or not ending at the number of rows:\n"
    "    ValueError. Objects of another class than objects[0]: TypeError. Every\n"
    "    object is borrowed for the whole call (RuntimeError \"Already borrowed\n"
    "    (objects[k])\" when one is in use).\n\n"
    "Example\n"
    "    >>> a, b = drel_ml.LinearRegression(1, 0.1), drel_ml.LinearRegression(1, 0.1)\n"
    "    >>> learn_many_by_key([a, b], [[1.0], [2.0], [3.0]], [1.0, 2.0, 3.0], [0, 2, 3])\n"
    "    >>> a.samples_seen, b.samples_seen\n"
    "    (2, 1)";

constexpr const char* kUpdateManyByKeyDoc =
    "update_many_by_key($module, statistics, xs, offsets, /)\n--\n\n"
    "Update many statistics in one call: values offsets[k]:offsets[k + 1] of xs go\n"
    "to statistics[k], in order, exactly as update_many would feed them.\n\n"
    "Parameters\n"
    "    statistics: a list or tuple of distinct objects of one class: Mean, EWMean\n"
    "        or Variance.\n"
    "    xs: the values, grouped by key, as update_many takes them.\n"
    "    offsets: len(statistics) + 1 positions, as for learn_many_by_key.\n\n"
    "Returns\n"
    "    None.\n\n"
    "Raises\n"
    "    As learn_many_by_key: all or nothing for the whole call, a core error with\n"
    "    \" (row N, statistics[k])\" appended.\n\n"
    "Example\n"
    "    >>> a, b = drel_ml.Mean(), drel_ml.Mean()\n"
    "    >>> update_many_by_key((a, b), [1.0, 3.0, 10.0], [0, 2, 3])\n"
    "    >>> a.value, b.value\n"
    "    (2.0, 10.0)";

constexpr const char* kLearnEachDoc =
    "learn_each($module, models, x, ys, /)\n--\n\n"
    "One sample learned by many models of one class: models[k] learns x with\n"
    "target ys[k], by every model or, when one refuses it, by none.\n\n"
    "For the models of a one-versus-rest classifier, or for one pipeline, whose\n"
    "own learn_one keeps in its scaler a sample its model refuses. The models are\n"
    "LinearRegression, LogisticRegression, RegressionPipeline or\n"
    "ClassificationPipeline objects, distinct, all of one class; x is converted\n"
    "once, as learn_one converts it.\n\n"
    "Raises\n"
    "    The refusing model's own error, as its learn_one raises it, with every\n"
    "    model left as it was (a pipeline's scaler included). Targets of another\n"
    "    number than the models: ValueError.";

// As for the one-object functions: a class given a bulk overload is a compile
// error here until these docstrings name it too.
static_assert(bulk_docs::names_all(kLearnManyByKeyDoc, Learners{}),
              "learn_many_by_key's docstring must name every learner");
static_assert(bulk_docs::names_all(kUpdateManyByKeyDoc, Statistics{}),
              "update_many_by_key's docstring must name every statistic");

template <const KeySpec& Spec, PyObject* (*Body)(PyObject* const*)>
PyObject* positional_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (nargs != Spec.count) {
      PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments (%zd given)",
                   Spec.full_name, Spec.count, nargs);
      return nullptr;
    }
    return Body(args);
  });
}

template <const KeySpec& Spec, PyObject* (*Body)(PyObject* const*)>
PyMethodDef positional_def(const char* name, const char* doc) {
  return {name, as_cfunction(&positional_entry<Spec, Body>), METH_FASTCALL, doc};
}

const PyMethodDef kFunctions[] = {
    positional_def<kLearnManyByKey, &learn_many_by_key_entry>("learn_many_by_key",
                                                              kLearnManyByKeyDoc),
    positional_def<kUpdateManyByKey, &update_many_by_key_entry>("update_many_by_key",
                                                                kUpdateManyByKeyDoc),
    positional_def<kLearnEach, &learn_each_entry>("learn_each", kLearnEachDoc),
};

}  // namespace

std::span<const PyMethodDef> bulk_by_key_functions() { return kFunctions; }

}  // namespace drel::py
