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
#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "bulk_columns.hpp"
#include "bulk_roles.hpp"
#include "bulk_rows.hpp"
#include "bulk_run.hpp"
#include "bound_classes.hpp"
#include "bindings/frame.hpp"
#include "bindings/guard.hpp"
#include "units.hpp"
#include "without_gil.hpp"

namespace drel::py {
namespace {

// Positional parameters only: four are more than the shared call frame parses.
struct KeySpec {
  const char* full_name;
  std::array<const char*, 4> names;
  Py_ssize_t count;
};

constexpr KeySpec kLearnManyByKey{"learn_many_by_key()", {"objects", "X", "y", "offsets"}, 4};
constexpr KeySpec kUpdateManyByKey{"update_many_by_key()", {"statistics", "xs", "offsets"}, 3};

// "Mean" for drel_ml's classes (named builtins.Mean), "int" for an int.
const char* short_name(PyTypeObject* type) {
  const char* dot = std::strrchr(type->tp_name, '.');
  return dot != nullptr ? dot + 1 : type->tp_name;
}
const char* type_name(PyObject* o) { return o == Py_None ? "None" : short_name(Py_TYPE(o)); }

// ---- the objects ----

// Every object of the call borrowed exclusively, released together. The same
// object twice is refused before any borrow, naming both places.
template <class Core>
class Borrowed {
 public:
  Borrowed() = default;
  Borrowed(const Borrowed&) = delete;
  Borrowed& operator=(const Borrowed&) = delete;
  ~Borrowed() {
    for (Instance<Core>* instance : held_) instance->borrow.state = 0;
  }

  // False with an exception set.
  bool take(const KeySpec& spec, PyObject* items) {
    const Py_ssize_t n = PyTuple_GET_SIZE(items);
    std::unordered_map<PyObject*, Py_ssize_t> seen;
    seen.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t k = 0; k < n; ++k) {
      PyObject* o = PyTuple_GET_ITEM(items, k);
      const auto [at, fresh] = seen.emplace(o, k);
      if (!fresh) {
        PyErr_Format(PyExc_ValueError,
                     "%s %s[%zd] is %s[%zd]: each key needs an object of its own",
                     spec.full_name, spec.names[0], k, spec.names[0], at->second);
        return false;
      }
    }
    held_.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t k = 0; k < n; ++k) {
      Instance<Core>* instance = exact_instance<Core>(PyTuple_GET_ITEM(items, k));
      // The same rule as Borrow<Access::Exclusive>, for many flags at once.
      if (instance->borrow.state != 0) {
        PyErr_Format(PyExc_RuntimeError, "Already borrowed (%s[%zd])", spec.names[0], k);
        return false;
      }
      instance->borrow.state = -1;
      held_.push_back(instance);
    }
    return true;
  }

  std::span<Instance<Core>* const> instances() const { return held_; }

 private:
  std::vector<Instance<Core>*> held_;
};

// The objects as a tuple (a list may change while X is iterated), each of
// exactly the class of the first; null with TypeError otherwise.
template <class Core>
bool all_of_class(const KeySpec& spec, PyObject* items) {
  for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(items); ++k) {
    PyObject* o = PyTuple_GET_ITEM(items, k);
    if (exact_instance<Core>(o) == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s %s[%zd] is a '%s', but %s[0] is a '%s': one class per call",
                   spec.full_name, spec.names[0], k, type_name(o), spec.names[0],
                   short_name(class_object<Core>()));
      return false;
    }
  }
  return true;
}

// ---- offsets ----

bool is_int64_format(const char* format) {
  if (format == nullptr) return false;
  if (*format == '@' || *format == '=' || *format == '<') ++format;
  return std::strlen(format) == 1 && std::strchr("qlnQLN", *format) != nullptr;
}

// An int64 (or uint64) 1-D buffer, read in place; false (nothing held) when
// `o` is none.
bool offsets_from_buffer(PyObject* o, std::vector<std::size_t>& out, bool& read) {
  read = false;
  if (!PyObject_CheckBuffer(o)) return true;
  Py_buffer view;
  if (PyObject_GetBuffer(o, &view, PyBUF_RECORDS_RO) != 0) {
    PyObject* raised = take_raised_exception();
    if (!is_ordinary(raised)) {
      restore_raised_exception(raised);
      return false;
    }
    Py_DECREF(raised);
    return true;
  }
  const bool usable = view.ndim == 1 && view.itemsize == 8 && is_int64_format(view.format) &&
                      std::endian::native == std::endian::little;
  if (usable) {
    const bool is_signed = std::strchr("qln", view.format[std::strlen(view.format) - 1]) != nullptr;
    out.resize(static_cast<std::size_t>(view.shape[0]));
    const char* at = static_cast<const char*>(view.buf);
    for (std::size_t i = 0; i < out.size(); ++i, at += view.strides[0]) {
      std::int64_t value;
      std::memcpy(&value, at, sizeof value);
      if (is_signed && value < 0) {
        PyBuffer_Release(&view);
        PyErr_Format(PyExc_ValueError, "offsets[%zu] is negative", i);
        return false;
      }
      out[i] = static_cast<std::size_t>(value);
    }
    read = true;
  }
  PyBuffer_Release(&view);
  return true;
}

bool offsets_by_iteration(PyObject* o, std::vector<std::size_t>& out) {
  Ref iterator = Ref::steal(PyObject_GetIter(o));
  if (!iterator) return false;
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    Ref index = Ref::steal(PyNumber_Index(item.get()));
    if (!index) return false;
    const Py_ssize_t value = PyLong_AsSsize_t(index.get());
    if (value == -1 && PyErr_Occurred()) return false;
    if (value < 0) {
      PyErr_Format(PyExc_ValueError, "offsets[%zu] is negative", out.size());
      return false;
    }
    out.push_back(static_cast<std::size_t>(value));
  }
  return !PyErr_Occurred();
}

// keys + 1 positions from 0, never decreasing; the last is checked against
// the rows once X is converted.
bool read_offsets(const KeySpec& spec, PyObject* o, std::size_t keys,
                  std::vector<std::size_t>& out) {
  bool read = false;
  if (!offsets_from_buffer(o, out, read)) return false;
  if (!read && !offsets_by_iteration(o, out)) return false;
  if (out.size() != keys + 1) {
    PyErr_Format(PyExc_ValueError, "%s offsets holds %zu positions, expected %zu (one more than %s)",
                 spec.full_name, out.size(), keys + 1, spec.names[0]);
    return false;
  }
  if (out[0] != 0) {
    PyErr_Format(PyExc_ValueError, "%s offsets[0] is %zu, expected 0", spec.full_name, out[0]);
    return false;
  }
  for (std::size_t k = 1; k < out.size(); ++k) {
    if (out[k] < out[k - 1]) {
      PyErr_Format(PyExc_ValueError, "%s offsets decrease at offsets[%zu]: %zu after %zu",
                   spec.full_name, k, out[k], out[k - 1]);
      return false;
    }
  }
  return true;
}

bool offsets_cover(const KeySpec& spec, const std::vector<std::size_t>& offsets, std::size_t rows) {
  if (offsets.back() == rows) return true;
  PyErr_Format(PyExc_ValueError, "%s offsets[-1] is %zu, but %s has %zu rows", spec.full_name,
               offsets.back(), spec.names[1], rows);
  return false;
}

// ---- the run ----

// The core's error at a row of key k: the one-sample message with the row of
// the whole call and the key.
struct KeyedError {
  RowError error;
  std::size_t key;
};

// Walks the converted rows block by block and, within each block, the keys
// whose rows it holds: learn(state, block_view, lo, count) learns rows
// [lo, lo + count) of the block into the copy of key k's state.
// A signal handler that raises between two blocks stops the walk.
template <class Core, class Fetch, class Learn>
std::expected<void, KeyedError> learn_keys(std::vector<Core>& work,
                                           const std::vector<std::size_t>& offsets,
                                           std::size_t n, std::size_t block, SignalPoll& signals,
                                           Fetch&& fetch, Learn&& learn) {
  std::size_t k = 0;
  for (std::size_t first = 0; first < n; first += block) {
    if (first > 0 && signals.interrupted()) [[unlikely]] return {};
    const std::size_t end = std::min(n, first + block);
    auto view = fetch(first, end - first);
    for (; k < work.size() && offsets[k] < end; ++k) {
      const std::size_t lo = std::max(offsets[k], first);
      const std::size_t hi = std::min(offsets[k + 1], end);
      if (lo < hi) {
        BulkStatus done = learn(work[k], view, lo - first, hi - lo);
        if (!done) [[unlikely]] {
          RowError failure = std::move(done).error();
          failure.row += lo;
          return std::unexpected(KeyedError{std::move(failure), k});
        }
      }
      if (offsets[k + 1] > end) break;  // the key goes on in the next block
    }
  }
  return {};
}

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
    const KeyedError& failed = status.error();
    const std::string text = failed.error.error.message() + " (row " +
                             std::to_string(failed.error.row) + ", " + spec.names[0] + "[" +
                             std::to_string(failed.key) + "])";
    raise_failure(Failure(RuntimeText{text}));
    return nullptr;
  }
  if (!finished(BulkStatus{}, conversion)) return nullptr;
  Py_RETURN_NONE;
}

Rows slice(const Rows& rows, std::size_t lo, std::size_t count) {
  Rows part = rows;
  part.count = count;
  if (rows.offsets != nullptr) {
    part.offsets = rows.offsets + lo;
  } else {
    part.data = rows.data + lo * rows.row_stride;
  }
  return part;
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

// The objects as a new tuple, or null with TypeError: a list or a tuple only,
// so that nothing runs while they are read.
Ref object_tuple(const KeySpec& spec, PyObject* objects) {
  if (!PyList_Check(objects) && !PyTuple_Check(objects)) {
    PyErr_Format(PyExc_TypeError, "%s argument '%s' must be a list or tuple, not '%s'",
                 spec.full_name, spec.names[0], type_name(objects));
    return {};
  }
  return Ref::steal(PySequence_Tuple(objects));
}

// Calls body.template operator()<Core>() for the class of the first object
// among Cores (no object: the first of Cores, for which nothing is learned).
template <class... Cores, class Body>
PyObject* by_first_class(TypeList<Cores...>, const KeySpec& spec, PyObject* items, Body&& body) {
  PyObject* first = PyTuple_GET_SIZE(items) > 0 ? PyTuple_GET_ITEM(items, 0) : nullptr;
  PyObject* result = nullptr;
  bool matched = false;
  std::size_t index = 0;
  ((matched = matched || [&] {
     const bool is = first == nullptr ? index == 0 : exact_instance<Cores>(first) != nullptr;
     ++index;
     if (is) result = body.template operator()<Cores>();
     return is;
   }()),
   ...);
  if (!matched) {
    std::string names;
    index = 0;
    ((names += (index++ == 0 ? "" : index == sizeof...(Cores) ? " or " : ", "),
      names += short_name(class_object<Cores>())),
     ...);
    PyErr_Format(PyExc_TypeError, "%s %s[0] must be %s, not '%s'", spec.full_name, spec.names[0],
                 names.c_str(), type_name(first));
  }
  return result;
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
};

}  // namespace

std::span<const PyMethodDef> bulk_by_key_functions() { return kFunctions; }

}  // namespace drel::py
