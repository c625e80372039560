// The floors of drel_ml's one-sample calls, and a native harness that splits
// each call's cost into core time and binding time.
//
// Floor(feature_count, learning_rate) has one method per one-sample call that
// converts the same arguments and does the same arithmetic, in the same order,
// with nothing else: no argument descriptor, no borrow flag, no fault guard, no
// state copy, and (for the models) no checks:
//   mean_update(x)     the running mean with its finiteness and counter checks
//   predict_one(x)     a list of floats, then one sequential dot product
//   learn_one(x, y)    the same, then one plain SGD pass over the weights
//   logistic_learn_one(x, y)   y a bool: the dot product, the core's logistic
//                      function, then the same SGD pass
//   pipeline_learn_one(x, y)   the scaler's Welford step and x scaled by the
//                      new statistics, then the linear model's step on it
// and, for the split, the same conversion followed by the real core operation
// (core_mean_update, core_predict_one, core_learn_one, core_logistic_learn_one):
// what a call costs with the core but without the binding around it.
//
// native_ns(operation, feature_count, loops) times the core operation and the
// floor arithmetic on one prepared vector in a C++ loop, with no Python at all.
#include "floors.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <string_view>
#include <type_traits>
#include <vector>

#include <time.h>

#include "bindings/convert.hpp"
#include "linear/linear_regression.hpp"
#include "common/select.hpp"
#include "linear/logistic_regression.hpp"  // the core's own logistic function
#include "stats/mean.hpp"

namespace {

template <class T>
inline void keep(const T& value) {
  asm volatile("" : : "g"(&value) : "memory");
}

inline bool finite(double x) { return std::fabs(x) < std::numeric_limits<double>::infinity(); }

// ---- the floor arithmetic, shared by the methods and the native harness ----

struct MeanFloor {
  std::uint64_t count = 0;
  double mean = 0.0;

  // drel::Mean::update's operations and checks, in its order.
  bool update(double x) {
    if (!finite(x)) return false;
    if (count == std::numeric_limits<std::uint64_t>::max()) return false;
    const std::uint64_t next = count + 1;
    const double delta = x - mean;
    if (!finite(delta)) return false;
    const double new_mean = mean + delta / static_cast<double>(next);
    if (!finite(new_mean)) return false;
    count = next;
    mean = new_mean;
    return true;
  }
};

struct LinearFloor {
  std::vector<double> weights;
  double intercept = 0.0;
  double learning_rate = 0.0;

  // w . x + b, one term at a time over the shorter of the two.
  double predict(const double* x, std::size_t n) const {
    n = std::min(n, weights.size());
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) sum = sum + weights[i] * x[i];
    return sum + intercept;
  }

  // One SGD step on the loss gradient g: w_i -= eta * (x_i * g), b -= eta * g.
  void step(const double* x, std::size_t n, double g) {
    n = std::min(n, weights.size());
    const double eta = learning_rate;
    for (std::size_t i = 0; i < n; ++i) weights[i] = weights[i] - eta * (x[i] * g);
    intercept = intercept - eta * g;
  }

  // Squared error.
  void learn(const double* x, std::size_t n, double y) { step(x, n, predict(x, n) - y); }

  // Log loss.
  void learn_logistic(const double* x, std::size_t n, bool y) {
    step(x, n, drel::logistic(predict(x, n)) - (y ? 1.0 : 0.0));
  }
};

// A standard scaler (with mean and std, epsilon 1e-12) in front of a LinearFloor.
struct PipelineFloor {
  std::vector<double> means, m2s, scaled;
  double count = 0.0;
  LinearFloor model;

  void learn(const double* x, std::size_t n, double y) {
    n = std::min(n, means.size());
    count = count + 1.0;
    for (std::size_t i = 0; i < n; ++i) {
      const double delta = x[i] - means[i];
      const double mean = means[i] + delta / count;
      const double m2 = delta * (x[i] - mean) + m2s[i];
      means[i] = mean;
      m2s[i] = m2;
      const double var = m2 / count;
      // The root is taken whatever the variance, as the library's branch-free
      // divisor takes it (a branch would keep its lanes from packing): a
      // floor that skipped it for a zero variance would be cheaper only on a
      // constant feature.
      const double scale = drel::select(1e-12 > var, 1.0, std::sqrt(var));
      scaled[i] = (x[i] - mean) / scale;
    }
    model.learn(scaled.data(), n, y);
  }
};

// ---- the Python type ----

struct FloorObject {
  PyObject_HEAD
  MeanFloor mean;
  LinearFloor linear;
  LinearFloor logistic;
  PipelineFloor pipeline;
  std::vector<double> scratch;  // the converted feature vector, reused
  std::size_t scratch_size = 0;
  drel::Mean core_mean;
  std::optional<drel::LinearRegression> core_model;
  std::optional<drel::LogisticRegression> core_logistic;
};

FloorObject* floor_of(PyObject* self) { return reinterpret_cast<FloorObject*>(self); }

using drel::py::to_double;  // the binding's own float conversion

// A list of floats into storage kept between calls, in one tight pass (only
// an item that is not an exact float leaves it, for the interpreter's
// conversion). Sets `n` to the number of elements.
bool to_vector(PyObject* o, std::vector<double>& storage, std::size_t& n) {
  if (!PyList_CheckExact(o)) {
    PyErr_SetString(PyExc_TypeError, "the floor takes a list of floats");
    return false;
  }
  n = static_cast<std::size_t>(PyList_GET_SIZE(o));
  if (storage.size() < n) [[unlikely]] storage.resize(n);
  double* dst = storage.data();
  PyObject* const* items = PySequence_Fast_ITEMS(o);
  for (std::size_t i = 0; i < n; ++i) {
    if (!to_double(items[i], dst[i])) return false;
  }
  return true;
}

// Entered like drel_ml's members (vector call with keywords, since their
// parameters may be named); the floor takes its arguments by position only.
bool expect_arguments(const char* name, Py_ssize_t nargs, Py_ssize_t wanted,
                      PyObject* kwnames = nullptr) {
  if (nargs == wanted && kwnames == nullptr) [[likely]] return true;
  PyErr_Format(PyExc_TypeError, "%s() takes exactly %zd arguments (%zd given)", name, wanted,
               nargs);
  return false;
}

PyObject* runtime_error(const char* text) {
  PyErr_SetString(PyExc_RuntimeError, text);
  return nullptr;
}

PyObject* mean_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  double x;
  if (!expect_arguments("mean_update", nargs, 1, kwnames) || !to_double(args[0], x)) return nullptr;
  if (!floor_of(self)->mean.update(x)) return runtime_error("non-finite mean");
  Py_RETURN_NONE;
}

PyObject* predict_one(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  FloorObject* f = floor_of(self);
  if (!expect_arguments("predict_one", nargs, 1, kwnames) || !to_vector(args[0], f->scratch, f->scratch_size)) return nullptr;
  return PyFloat_FromDouble(f->linear.predict(f->scratch.data(), f->scratch_size));
}

// A floor's learn_one(x, y): x converted into the scratch vector, then
// `learn(floor object, x, n, y)` with y a float, or with a bool for a classifier.
template <class Target, auto kLearn>
PyObject* learn_method(const char* name, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  FloorObject* f = floor_of(self);
  Target y;
  if (!expect_arguments(name, nargs, 2, kwnames)) return nullptr;
  if constexpr (std::is_same_v<Target, bool>) y = args[1] == Py_True;
  else if (!to_double(args[1], y)) return nullptr;
  if (!to_vector(args[0], f->scratch, f->scratch_size)) return nullptr;
  kLearn(*f, f->scratch.data(), f->scratch_size, y);
  Py_RETURN_NONE;
}

PyObject* learn_one(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return learn_method<double, [](FloorObject& f, const double* x, std::size_t n, double y) {
    f.linear.learn(x, n, y);
  }>("learn_one", self, args, nargs, kwnames);
}

PyObject* logistic_learn_one(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return learn_method<bool, [](FloorObject& f, const double* x, std::size_t n, bool y) {
    f.logistic.learn_logistic(x, n, y);
  }>("logistic_learn_one", self, args, nargs, kwnames);
}

PyObject* pipeline_learn_one(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return learn_method<double, [](FloorObject& f, const double* x, std::size_t n, double y) {
    f.pipeline.learn(x, n, y);
  }>("pipeline_learn_one", self, args, nargs, kwnames);
}

PyObject* core_mean_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  double x;
  if (!expect_arguments("core_mean_update", nargs, 1, kwnames) || !to_double(args[0], x)) return nullptr;
  if (!floor_of(self)->core_mean.update(x)) return runtime_error("core refused");
  Py_RETURN_NONE;
}

PyObject* core_predict_one(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  FloorObject* f = floor_of(self);
  if (!expect_arguments("core_predict_one", nargs, 1, kwnames) || !to_vector(args[0], f->scratch, f->scratch_size))
    return nullptr;
  const drel::Result<double> p = f->core_model->predict_one({f->scratch.data(), f->scratch_size});
  return p ? PyFloat_FromDouble(*p) : runtime_error("core refused");
}

PyObject* core_learn_one(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  FloorObject* f = floor_of(self);
  double y;
  if (!expect_arguments("core_learn_one", nargs, 2, kwnames) || !to_double(args[1], y) ||
      !to_vector(args[0], f->scratch, f->scratch_size))
    return nullptr;
  if (!f->core_model->learn_one({f->scratch.data(), f->scratch_size}, y)) return runtime_error("core refused");
  Py_RETURN_NONE;
}

PyObject* core_logistic_learn_one(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  FloorObject* f = floor_of(self);
  if (!expect_arguments("core_logistic_learn_one", nargs, 2, kwnames) ||
      !to_vector(args[0], f->scratch, f->scratch_size))
    return nullptr;
  if (!f->core_logistic->learn_one({f->scratch.data(), f->scratch_size}, args[1] == Py_True))
    return runtime_error("core refused");
  Py_RETURN_NONE;
}

PyObject* floor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  unsigned long long n = 0;
  double rate = 0.0;
  static const char* names[] = {"feature_count", "learning_rate", nullptr};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Kd", const_cast<char**>(names), &n, &rate))
    return nullptr;
  auto model = drel::LinearRegression::with_sgd(n, rate);
  auto logistic = drel::LogisticRegression::with_sgd(n, rate);
  if (!model || !logistic) return runtime_error("the core refused the model's parameters");
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  FloorObject* f = floor_of(self);
  new (&f->mean) MeanFloor{};
  new (&f->linear) LinearFloor{std::vector<double>(n, 0.0), 0.0, rate};
  new (&f->logistic) LinearFloor{std::vector<double>(n, 0.0), 0.0, rate};
  new (&f->pipeline) PipelineFloor{std::vector<double>(n, 0.0), std::vector<double>(n, 0.0),
                                   std::vector<double>(n, 0.0), 0.0,
                                   LinearFloor{std::vector<double>(n, 0.0), 0.0, rate}};
  new (&f->scratch) std::vector<double>(n);
  new (&f->core_mean) drel::Mean{};
  new (&f->core_model) std::optional<drel::LinearRegression>(std::move(*model));
  new (&f->core_logistic) std::optional<drel::LogisticRegression>(std::move(*logistic));
  return self;
}

void floor_dealloc(PyObject* self) {
  FloorObject* f = floor_of(self);
  f->linear.~LinearFloor();
  f->logistic.~LinearFloor();
  f->pipeline.~PipelineFloor();
  f->scratch.~vector();
  f->core_model.~optional();
  f->core_logistic.~optional();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// ---- the native harness ----

// The process's CPU time in ns: what a single-threaded loop costs, whatever
// else the machine runs meanwhile.
double cpu_ns() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

// Best CPU ns per call of `body` over several rounds of `loops` calls.
template <class Body>
double best_ns(std::uint64_t loops, Body&& body) {
  double best = std::numeric_limits<double>::infinity();
  for (int round = 0; round < 7; ++round) {
    const double start = cpu_ns();
    for (std::uint64_t i = 0; i < loops; ++i) body();
    best = std::min(best, (cpu_ns() - start) / static_cast<double>(loops));
  }
  return best;
}

// (core ns, floor ns) per call of one operation on a prepared vector.
PyObject* native_ns(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (!expect_arguments("native_ns", nargs, 3)) return nullptr;
  const char* operation = PyUnicode_AsUTF8(args[0]);
  const unsigned long long n = PyLong_AsUnsignedLongLong(args[1]);
  const unsigned long long loops = PyLong_AsUnsignedLongLong(args[2]);
  if (operation == nullptr || PyErr_Occurred()) return nullptr;
  constexpr double kRate = 0.001;
  auto model = drel::LinearRegression::with_sgd(n, kRate);
  if (!model) return runtime_error("the core refused the model's parameters");
  LinearFloor floor{std::vector<double>(n, 0.0), 0.0, kRate};
  std::vector<double> x(n);
  for (std::size_t i = 0; i < n; ++i) x[i] = std::sin(static_cast<double>(i) + 1.0);
  const std::span<const double> xs(x);
  const double y = 0.5;
  double core = 0.0, plain = 0.0;
  const std::string_view op(operation);
  if (op == "mean_update") {
    drel::Mean mean;
    MeanFloor mean_floor;
    core = best_ns(loops, [&] { keep(mean.update(0.25)); });
    plain = best_ns(loops, [&] { keep(mean_floor.update(0.25)); });
  } else if (op == "predict_one") {
    core = best_ns(loops, [&] { keep(model->predict_one(xs)); });
    plain = best_ns(loops, [&] { keep(floor.predict(x.data(), n)); });
  } else if (op == "learn_one") {
    core = best_ns(loops, [&] { keep(model->learn_one(xs, y)); });
    plain = best_ns(loops, [&] { floor.learn(x.data(), n, y); keep(floor.intercept); });
  } else if (op == "logistic_learn_one") {
    auto logistic = drel::LogisticRegression::with_sgd(n, kRate);
    if (!logistic) return runtime_error("the core refused the model's parameters");
    // Alternating classes keep the weights near zero, as real data would.
    bool t = false;
    core = best_ns(loops, [&] { t = !t; keep(logistic->learn_one(xs, t)); });
    plain = best_ns(loops, [&] { t = !t; floor.learn_logistic(x.data(), n, t); keep(floor.intercept); });
  } else {
    PyErr_SetString(PyExc_ValueError,
                    "operation: mean_update, predict_one, learn_one or logistic_learn_one");
    return nullptr;
  }
  return Py_BuildValue("(dd)", core, plain);
}

template <class F>
PyCFunction fastcall(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

constexpr int kFloorCall = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef floor_methods[] = {
    {"mean_update", fastcall(&mean_update), kFloorCall, "The floor of Mean.update."},
    {"predict_one", fastcall(&predict_one), kFloorCall,
     "The floor of LinearRegression.predict_one."},
    {"learn_one", fastcall(&learn_one), kFloorCall, "The floor of LinearRegression.learn_one."},
    {"logistic_learn_one", fastcall(&logistic_learn_one), kFloorCall,
     "The floor of LogisticRegression.learn_one."},
    {"pipeline_learn_one", fastcall(&pipeline_learn_one), kFloorCall,
     "The floor of RegressionPipeline.learn_one."},
    {"core_mean_update", fastcall(&core_mean_update), kFloorCall,
     "The floor's conversion, then drel::Mean::update."},
    {"core_predict_one", fastcall(&core_predict_one), kFloorCall,
     "The floor's conversion, then drel::LinearRegression::predict_one."},
    {"core_learn_one", fastcall(&core_learn_one), kFloorCall,
     "The floor's conversion, then drel::LinearRegression::learn_one."},
    {"core_logistic_learn_one", fastcall(&core_logistic_learn_one), kFloorCall,
     "The floor's conversion, then drel::LogisticRegression::learn_one."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot floor_slots[] = {
    {Py_tp_doc, const_cast<char*>("Floor(feature_count, learning_rate)\n--\n\n"
                                  "The floors of the one-sample calls.")},
    {Py_tp_methods, floor_methods},
    {Py_tp_new, reinterpret_cast<void*>(&floor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&floor_dealloc)},
    {0, nullptr},
};

PyType_Spec floor_spec = {"drel_bench_baseline.Floor", sizeof(FloorObject), 0, Py_TPFLAGS_DEFAULT,
                          floor_slots};

}  // namespace

PyMethodDef native_ns_def = {
    "native_ns", fastcall(&native_ns), METH_FASTCALL,
    "native_ns(operation, feature_count, loops)\n--\n\n"
    "(core ns, floor ns) per call of mean_update, predict_one, learn_one or logistic_learn_one,\n"
    "timed in C++."};

int add_floors(PyObject* module) {
  PyObject* type = PyType_FromSpec(&floor_spec);
  if (type == nullptr) return -1;
  const int status = PyModule_AddObjectRef(module, "Floor", type);
  Py_DECREF(type);
  if (status != 0) return -1;
  PyObject* function = PyCFunction_New(&native_ns_def, nullptr);
  if (function == nullptr) return -1;
  const int added = PyModule_AddObjectRef(module, "native_ns", function);
  Py_DECREF(function);
  return added;
}
