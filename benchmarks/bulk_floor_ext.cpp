// drel_bench_bulk_floor: the physical floor of the bulk functions, for
// benchmarks only (never installed). Each function runs the identical
// arithmetic of the core's one-sample steps over a whole C-contiguous float64
// array, one rounded operation at a time in the core's order, with no check of
// any kind: no finiteness, no lengths, no state copy, no borrow, no result
// object. State lives in caller-owned float64 arrays updated in place:
//
//   w       weights then intercept (cols + 1 values)
//   scaler  means, then M2s, then the sample count (2 * cols + 1 values)
//
// learn_linear(X, y, w, rate)       LinearRegression.learn_one over every row
// learn_logistic(X, y, w, rate)     LogisticRegression (y: bool array)
// learn_linear_chained(X, y, w, rate)     learn_many's chained form of the same
// learn_logistic_chained(X, y, w, rate)   training: the pass that writes a row's new
//                                   weights also sums the next row's output; without
//                                   L2, each new weight is w - rate * (x * g)
// learn_linear_adagrad(X, y, w, acc, rate)   LinearRegression with AdaGrad (no L2,
//                                   epsilon 1e-8; acc: the squared-gradient sums,
//                                   weights' then the intercept's, cols + 1 values)
// learn_pipeline(X, y, w, scaler, rate)   RegressionPipeline
// predict_linear(X, w, out)         LinearRegression.predict_one
// predict_logistic(X, w, out)       LogisticRegression.predict_one (out: bool array)
// predict_pipeline(X, w, scaler, out)     RegressionPipeline.predict_one, each
//                                         feature's divisor worked out once per call
// learn_logistic_csr(indptr, indices, data, y, w, rate, stream_hint)
//                                   LogisticRegression over a canonical CSR matrix
//                                   (int32 indptr and indices, float64 data) by its
//                                   stored values; with stream_hint, each row's
//                                   entries a few rows ahead are asked for as
//                                   data used once, as learn_many does
// learn_linear_adagrad_avx2, learn_pipeline_avx2, predict_pipeline_avx2
//                                   the same as their namesakes above, each
//                                   elementwise pass four doubles at a time
//                                   (bulk_floor_vector.cpp); RuntimeError on a
//                                   processor without AVX2
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "bulk_floor_vector.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

// The logistic function as the core evaluates it, overflow-free: e = exp(-|z|),
// then 1 / (1 + e) for z >= 0 and e / (1 + e) below, the numerator picked by a
// mask of bits rather than a branch on the sign.
double logistic(double z) {
  const double e = std::exp(-std::fabs(z));
  const std::uint64_t positive = std::uint64_t{0} - std::uint64_t{z >= 0.0};
  const double numerator = std::bit_cast<double>((std::bit_cast<std::uint64_t>(1.0) & positive) |
                                                 (std::bit_cast<std::uint64_t>(e) & ~positive));
  const double denominator = 1.0 + e;
  return numerator / denominator;
}

struct Table {
  const double* x;
  std::size_t rows, cols;
  const double* row(std::size_t i) const { return x + i * cols; }
};

using drel_bench::kMaxCols;

double affine(const double* w, const double* x, std::size_t n) {
  double sum = 0.0;
  for (std::size_t j = 0; j < n; ++j) sum = sum + w[j] * x[j];
  return sum + w[n];
}

// The class of a logit, decided as the core decides it: by the sign, with the
// logistic function itself only within 1e-6 of 0 (elsewhere its outcome is
// certain).
bool positive_class(double z) {
  if (std::fabs(z) <= 1e-6) return logistic(z) >= 0.5;
  return z >= 0.0;
}

// SGD without L2 on one loss gradient, as the core computes it.
void sgd_step(double* w, const double* x, std::size_t n, double g, double eta) {
  const double lambda = 0.0;
  for (std::size_t j = 0; j < n; ++j) {
    const double gw = x[j] * g;
    const double penalty = lambda * w[j];
    const double r = penalty + gw;
    const double change = eta * r;
    w[j] = w[j] - change;
  }
  const double change = eta * g;
  w[n] = w[n] - change;
}

// AdaGrad without L2 on one loss gradient, as the core computes it: per
// parameter q = g * g, G' = q + G, s = sqrt(eps + G'), then w' = w - r * (eta / s)
// with r = g + 0 * w for a weight and r = g for the intercept.
void adagrad_step(double* w, double* acc, const double* x, std::size_t n, double g, double eta) {
  const double epsilon = 1e-8;
  const double lambda = 0.0;
  for (std::size_t j = 0; j < n; ++j) {
    const double gw = x[j] * g;
    const double q = gw * gw;
    acc[j] = q + acc[j];
    const double s = std::sqrt(epsilon + acc[j]);
    const double penalty = lambda * w[j];
    const double r = gw + penalty;
    const double rate = eta / s;
    const double change = r * rate;
    w[j] = w[j] - change;
  }
  const double q = g * g;
  acc[n] = q + acc[n];
  const double rate = eta / std::sqrt(epsilon + acc[n]);
  const double change = g * rate;
  w[n] = w[n] - change;
}

// x scaled by the scaler's statistics (a feature without samples passes as it is).
void scale(const double* scaler, const double* x, std::size_t n, double* scaled) {
  const double count = scaler[2 * n];
  for (std::size_t j = 0; j < n; ++j) {
    double s = 1.0;
    if (count != 0.0) {
      const double var = scaler[n + j] / count;
      if (!(1e-12 > var)) s = std::sqrt(var);
    }
    scaled[j] = (x[j] - scaler[j]) / s;
  }
}

// The scaler's Welford step, then x scaled by statistics that include it.
void fit_and_scale(double* scaler, const double* x, std::size_t n, double* scaled) {
  double* means = scaler;
  double* m2s = scaler + n;
  const double count = scaler[2 * n] + 1.0;
  scaler[2 * n] = count;
  for (std::size_t j = 0; j < n; ++j) {
    const double delta = x[j] - means[j];
    const double mean = means[j] + delta / count;
    const double delta2 = x[j] - mean;
    const double product = delta * delta2;
    m2s[j] = product + m2s[j];
    means[j] = mean;
  }
  scale(scaler, x, n, scaled);
}

// Every function takes X, then N buffers (writable where marked), then
// optionally the learning rate; Body(table, buffers, rate) runs without the
// interpreter lock. Nothing about the buffers is checked but what the buffer
// protocol itself refuses.
template <std::size_t N, class Body>
PyObject* over_table(PyObject* const* args, Py_ssize_t nargs, std::array<bool, N> writable,
                     Body body) {
  if (nargs < static_cast<Py_ssize_t>(N + 1))
    return PyErr_Format(PyExc_TypeError, "expected at least %zu arguments", N + 1);
  std::array<Py_buffer, N + 1> views;
  std::size_t held = 0;
  struct Release {
    std::array<Py_buffer, N + 1>& views;
    std::size_t& held;
    ~Release() {
      for (std::size_t i = 0; i < held; ++i) PyBuffer_Release(&views[i]);
    }
  } release{views, held};
  for (std::size_t i = 0; i <= N; ++i) {
    const int flags = i > 0 && writable[i - 1] ? PyBUF_CONTIG : PyBUF_CONTIG_RO;
    if (PyObject_GetBuffer(args[i], &views[i], flags) != 0) return nullptr;
    ++held;
  }
  const Table table{static_cast<const double*>(views[0].buf),
                    static_cast<std::size_t>(views[0].shape[0]),
                    views[0].ndim == 2 ? static_cast<std::size_t>(views[0].shape[1]) : 1};
  if (table.cols > kMaxCols) return PyErr_Format(PyExc_ValueError, "at most %zu columns", kMaxCols);
  const double eta = nargs > static_cast<Py_ssize_t>(N + 1) ? PyFloat_AsDouble(args[N + 1]) : 0.0;
  if (PyErr_Occurred()) return nullptr;
  std::array<void*, N> buffers;
  for (std::size_t i = 0; i < N; ++i) buffers[i] = views[i + 1].buf;
  Py_BEGIN_ALLOW_THREADS
  body(table, buffers, eta);
  Py_END_ALLOW_THREADS
  Py_RETURN_NONE;
}

template <class T>
T* as(void* p) {
  return static_cast<T*>(p);
}

PyObject* learn_linear(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return over_table<2>(args, nargs, {false, true}, [](const Table& t, auto b, double eta) {
    const double* y = as<const double>(b[0]);
    double* w = as<double>(b[1]);
    for (std::size_t i = 0; i < t.rows; ++i)
      sgd_step(w, t.row(i), t.cols, affine(w, t.row(i), t.cols) - y[i], eta);
  });
}

PyObject* learn_linear_adagrad(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return over_table<3>(args, nargs, {false, true, true}, [](const Table& t, auto b, double eta) {
    const double* y = as<const double>(b[0]);
    double* w = as<double>(b[1]);
    double* acc = as<double>(b[2]);
    for (std::size_t i = 0; i < t.rows; ++i)
      adagrad_step(w, acc, t.row(i), t.cols, affine(w, t.row(i), t.cols) - y[i], eta);
  });
}

PyObject* learn_logistic(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return over_table<2>(args, nargs, {false, true}, [](const Table& t, auto b, double eta) {
    const auto* y = as<const std::uint8_t>(b[0]);
    double* w = as<double>(b[1]);
    for (std::size_t i = 0; i < t.rows; ++i) {
      const double p = logistic(affine(w, t.row(i), t.cols));
      sgd_step(w, t.row(i), t.cols, p - (y[i] != 0 ? 1.0 : 0.0), eta);
    }
  });
}

// Two doubles in one SSE2 register, each lane rounding as a double does.
using Pair = double __attribute__((vector_size(16)));

Pair load(const double* p) {
  Pair v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

void store(double* p, Pair v) { std::memcpy(p, &v, sizeof v); }

// Every row learned with plain SGD without L2, chained: the pass that writes
// a row's new weights (w - rate * (x * g)) also adds their products with the
// next row's features to the next output, in index order. Two weights share
// an SSE2 vector, as in learn_many: one at a time costs 6% more at 100
// features, and a floor is the cheapest form of the arithmetic. No cache
// hint: learn_many asks for the rows 4 KiB ahead, which changes nothing
// measurable here. `gradient(i, output)` is the loss gradient of row i.
template <class Gradient>
void learn_chained(const Table& t, double* w, double eta, Gradient gradient) {
  const std::size_t n = t.cols;
  if (t.rows == 0) return;
  double b = w[n];
  double sum = 0.0;
  for (std::size_t k = 0; k < n; ++k) sum = sum + w[k] * t.x[k];
  for (std::size_t i = 0; i < t.rows; ++i) {
    const double* x = t.row(i);
    const double* next = i + 1 < t.rows ? x + n : x;  // the last row's products go nowhere
    const double g = gradient(i, sum + b);
    const double change = eta * g;
    b = b - change;
    double next_sum = 0.0;
    std::size_t k = 0;
    for (; k + 2 <= n; k += 2) {
      const Pair weight = load(w + k) - eta * (load(x + k) * g);
      store(w + k, weight);
      const Pair product = weight * load(next + k);
      next_sum = next_sum + product[0];
      next_sum = next_sum + product[1];
    }
    for (; k < n; ++k) {
      const double weight = w[k] - eta * (x[k] * g);
      w[k] = weight;
      next_sum = next_sum + weight * next[k];
    }
    sum = next_sum;
  }
  w[n] = b;
}

PyObject* learn_linear_chained(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return over_table<2>(args, nargs, {false, true}, [](const Table& t, auto b, double eta) {
    const double* y = as<const double>(b[0]);
    learn_chained(t, as<double>(b[1]), eta,
                  [y](std::size_t i, double out) { return out - y[i]; });
  });
}

PyObject* learn_logistic_chained(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return over_table<2>(args, nargs, {false, true}, [](const Table& t, auto b, double eta) {
    const auto* y = as<const std::uint8_t>(b[0]);
    learn_chained(t, as<double>(b[1]), eta, [y](std::size_t i, double out) {
      return logistic(out) - (y[i] != 0 ? 1.0 : 0.0);
    });
  });
}

PyObject* learn_pipeline(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return over_table<3>(args, nargs, {false, true, true}, [](const Table& t, auto b, double eta) {
    const double* y = as<const double>(b[0]);
    double* w = as<double>(b[1]);
    double* scaler = as<double>(b[2]);
    double scaled[kMaxCols];
    for (std::size_t i = 0; i < t.rows; ++i) {
      fit_and_scale(scaler, t.row(i), t.cols, scaled);
      sgd_step(w, scaled, t.cols, affine(w, scaled, t.cols) - y[i], eta);
    }
  });
}

PyObject* predict_linear(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return over_table<2>(args, nargs, {false, true}, [](const Table& t, auto b, double) {
    const double* w = as<const double>(b[0]);
    double* out = as<double>(b[1]);
    for (std::size_t i = 0; i < t.rows; ++i) out[i] = affine(w, t.row(i), t.cols);
  });
}

PyObject* predict_logistic(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return over_table<2>(args, nargs, {false, true}, [](const Table& t, auto b, double) {
    const double* w = as<const double>(b[0]);
    auto* out = as<std::uint8_t>(b[1]);
    for (std::size_t i = 0; i < t.rows; ++i)
      out[i] = positive_class(affine(w, t.row(i), t.cols));
  });
}

PyObject* predict_pipeline(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return over_table<3>(args, nargs, {false, false, true}, [](const Table& t, auto b, double) {
    const double* w = as<const double>(b[0]);
    const double* scaler = as<const double>(b[1]);
    double* out = as<double>(b[2]);
    const std::size_t n = t.cols;
    // The statistics do not change during the call: each divisor once.
    double scales[kMaxCols];
    const double count = scaler[2 * n];
    for (std::size_t j = 0; j < n; ++j) {
      scales[j] = 1.0;
      if (count != 0.0) {
        const double var = scaler[n + j] / count;
        if (!(1e-12 > var)) scales[j] = std::sqrt(var);
      }
    }
    double scaled[kMaxCols];
    for (std::size_t i = 0; i < t.rows; ++i) {
      const double* x = t.row(i);
      for (std::size_t j = 0; j < n; ++j) scaled[j] = (x[j] - scaler[j]) / scales[j];
      out[i] = affine(w, scaled, n);
    }
  });
}

// One row of a canonical CSR matrix, as the core's sparse step computes it
// for a model without penalty whose weights are never -0 (as a fresh one's
// are not): the penalty term is then +-0 and changes no new weight.
void learn_csr_row(double* w, double& b, const std::int32_t* indices, const double* x,
                   std::size_t n, bool y, double eta) {
  double sum = 0.0;
  for (std::size_t k = 0; k < n; ++k) sum = sum + w[indices[k]] * x[k];
  const double g = logistic(sum + b) - (y ? 1.0 : 0.0);
  const double change = eta * g;
  b = b - change;
  for (std::size_t k = 0; k < n; ++k) {
    const double step = eta * (x[k] * g);
    w[indices[k]] = w[indices[k]] - step;
  }
}

// The AVX2 floors (bulk_floor_vector.cpp), where the processor has AVX2.
PyObject* needs_avx2() {
  PyErr_SetString(PyExc_RuntimeError, "this processor has no AVX2");
  return nullptr;
}

PyObject* learn_linear_adagrad_avx2(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (!drel_bench::has_avx2()) return needs_avx2();
  return over_table<3>(args, nargs, {false, true, true}, [](const Table& t, auto b, double eta) {
    drel_bench::learn_adagrad_avx2(t.x, t.rows, t.cols, as<const double>(b[0]), as<double>(b[1]),
                                   as<double>(b[2]), eta);
  });
}

PyObject* learn_pipeline_avx2(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (!drel_bench::has_avx2()) return needs_avx2();
  return over_table<3>(args, nargs, {false, true, true}, [](const Table& t, auto b, double eta) {
    drel_bench::learn_pipeline_avx2(t.x, t.rows, t.cols, as<const double>(b[0]), as<double>(b[1]),
                                    as<double>(b[2]), eta);
  });
}

PyObject* predict_pipeline_avx2(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (!drel_bench::has_avx2()) return needs_avx2();
  return over_table<3>(args, nargs, {false, false, true}, [](const Table& t, auto b, double) {
    drel_bench::predict_pipeline_avx2(t.x, t.rows, t.cols, as<const double>(b[0]),
                                      as<const double>(b[1]), as<double>(b[2]));
  });
}

// Asks for the lines of [at + ahead, at + ahead + bytes) as data used once.
void stream_hint(const void* at, std::size_t bytes, std::size_t ahead) {
  const std::uintptr_t first = reinterpret_cast<std::uintptr_t>(at) + ahead;
  for (std::uintptr_t line = first & ~std::uintptr_t{63}; line < first + bytes; line += 64)
    __builtin_prefetch(reinterpret_cast<const void*>(line), 0, 0);
}

PyObject* learn_logistic_csr(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 7) return PyErr_Format(PyExc_TypeError, "expected 7 arguments");
  constexpr std::size_t kBuffers = 5;  // indptr, indices, data, y, w
  std::array<Py_buffer, kBuffers> views;
  std::size_t held = 0;
  struct Release {
    std::array<Py_buffer, kBuffers>& views;
    std::size_t& held;
    ~Release() {
      for (std::size_t i = 0; i < held; ++i) PyBuffer_Release(&views[i]);
    }
  } release{views, held};
  for (std::size_t i = 0; i < kBuffers; ++i) {
    const int flags = i == kBuffers - 1 ? PyBUF_CONTIG : PyBUF_CONTIG_RO;
    if (PyObject_GetBuffer(args[i], &views[i], flags) != 0) return nullptr;
    ++held;
  }
  const double eta = PyFloat_AsDouble(args[5]);
  const int hint = PyObject_IsTrue(args[6]);
  if (PyErr_Occurred()) return nullptr;
  const auto* indptr = static_cast<const std::int32_t*>(views[0].buf);
  const auto* indices = static_cast<const std::int32_t*>(views[1].buf);
  const auto* values = static_cast<const double*>(views[2].buf);
  const auto* y = static_cast<const std::uint8_t*>(views[3].buf);
  double* w = static_cast<double*>(views[4].buf);
  const auto rows = static_cast<std::size_t>(views[0].len) / sizeof(std::int32_t) - 1;
  double& b = w[static_cast<std::size_t>(views[4].len) / sizeof(double) - 1];
  constexpr std::size_t kAhead = 128;  // entries, as learn_many
  Py_BEGIN_ALLOW_THREADS
  for (std::size_t i = 0; i < rows; ++i) {
    const auto first = static_cast<std::size_t>(indptr[i]);
    const auto n = static_cast<std::size_t>(indptr[i + 1]) - first;
    if (hint) {
      stream_hint(indices + first, n * sizeof(std::int32_t), kAhead * sizeof(std::int32_t));
      stream_hint(values + first, n * sizeof(double), kAhead * sizeof(double));
    }
    learn_csr_row(w, b, indices + first, values + first, n, y[i] != 0, eta);
  }
  Py_END_ALLOW_THREADS
  Py_RETURN_NONE;
}

template <auto F>
PyMethodDef def(const char* name) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F)), METH_FASTCALL,
          nullptr};
}

PyMethodDef methods[] = {
    def<&learn_linear>("learn_linear"),       def<&learn_logistic>("learn_logistic"),
    def<&learn_linear_chained>("learn_linear_chained"),
    def<&learn_logistic_chained>("learn_logistic_chained"),
    def<&learn_linear_adagrad>("learn_linear_adagrad"),
    def<&learn_pipeline>("learn_pipeline"),   def<&predict_linear>("predict_linear"),
    def<&predict_logistic>("predict_logistic"), def<&predict_pipeline>("predict_pipeline"),
    def<&learn_logistic_csr>("learn_logistic_csr"),
    def<&learn_linear_adagrad_avx2>("learn_linear_adagrad_avx2"),
    def<&learn_pipeline_avx2>("learn_pipeline_avx2"),
    def<&predict_pipeline_avx2>("predict_pipeline_avx2"),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "drel_bench_bulk_floor",
                          "Unchecked loops of the core's arithmetic, for benchmarks only.", 0,
                          methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_drel_bench_bulk_floor() { return PyModule_Create(&module_def); }
