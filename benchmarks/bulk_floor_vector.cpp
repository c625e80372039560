// The vector floors of the elementwise passes, for benchmarks only: the
// arithmetic of bulk_floor_ext.cpp's AdaGrad and pipeline loops with each
// elementwise pass (the scaler's statistics and divisions, the weight and
// accumulator updates) four doubles to an AVX2 register, then two to an SSE2
// one, then one at a time, as the library's AVX2 build runs them. Each lane
// rounds as a double does and nothing is contracted or reordered, so the bits
// are those of the scalar floors; the dot product stays a sum in index order.
// This file alone is compiled for AVX2; its functions run only where the
// processor has it (has_avx2).
#include "bulk_floor_vector.hpp"

#include <immintrin.h>

#include <cmath>
#include <cstring>
#include <type_traits>

namespace drel_bench {
namespace {

using Quad = double __attribute__((vector_size(32)));
using Pair = double __attribute__((vector_size(16)));

template <class V>
V load(const double* p) {
  V v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <class V>
void store(double* p, V v) {
  std::memcpy(p, &v, sizeof v);
}

template <class V>
V broadcast(double s) {
  if constexpr (std::is_same_v<V, double>) {
    return s;
  } else {
    V v;
    for (std::size_t l = 0; l < sizeof v / sizeof s; ++l) v[l] = s;
    return v;
  }
}

double root(double v) { return std::sqrt(v); }
Pair root(Pair v) { return _mm_sqrt_pd(v); }
Quad root(Quad v) { return _mm256_sqrt_pd(v); }

// a where the mask is set, b elsewhere (lane by lane for vectors).
template <class V, class Mask>
V select(Mask mask, V a, V b) {
  return mask ? a : b;
}

// body.template operator()<V>(j) over [0, n): blocks of four, one of two, then
// one element at a time.
template <class Body>
[[gnu::always_inline]] inline void over_lanes(std::size_t n, Body body) {
  std::size_t j = 0;
  for (; j + 4 <= n; j += 4) body.template operator()<Quad>(j);
  if (j + 2 <= n) {
    body.template operator()<Pair>(j);
    j += 2;
  }
  for (; j < n; ++j) body.template operator()<double>(j);
}

double affine(const double* w, const double* x, std::size_t n) {
  double sum = 0.0;
  for (std::size_t j = 0; j < n; ++j) sum = sum + w[j] * x[j];
  return sum + w[n];
}

constexpr double kVarianceFloor = 1e-12;

// The divisor of a feature of population variance var: its root, or 1 below
// the floor.
template <class V>
V divisor(V var) {
  return select<V>(broadcast<V>(kVarianceFloor) > var, broadcast<V>(1.0), root(var));
}

// SGD without L2 on one loss gradient (the penalty 0 * w is still added: it
// decides the sign of a zero change).
void sgd_step(double* __restrict w, const double* __restrict x, std::size_t n, double g,
              double eta) {
  over_lanes(n, [&]<class V>(std::size_t j) {
    const V weight = load<V>(w + j);
    const V gw = load<V>(x + j) * g;
    const V r = weight * 0.0 + gw;
    store(w + j, weight - eta * r);
  });
  w[n] = w[n] - eta * g;
}

}  // namespace

bool has_avx2() { return __builtin_cpu_supports("avx2"); }

void learn_adagrad_avx2(const double* x, std::size_t rows, std::size_t cols, const double* y,
                        double* __restrict w, double* __restrict acc, double eta) {
  const double epsilon = 1e-8;
  for (std::size_t i = 0; i < rows; ++i) {
    const double* __restrict row = x + i * cols;
    const double g = affine(w, row, cols) - y[i];
    over_lanes(cols, [&]<class V>(std::size_t j) {
      const V gw = load<V>(row + j) * g;
      const V sum = gw * gw + load<V>(acc + j);
      store(acc + j, sum);
      const V s = root(epsilon + sum);
      const V weight = load<V>(w + j);
      const V r = gw + weight * 0.0;
      store(w + j, weight - r * (eta / s));
    });
    const double sum = g * g + acc[cols];
    acc[cols] = sum;
    w[cols] = w[cols] - g * (eta / std::sqrt(epsilon + sum));
  }
}

void learn_pipeline_avx2(const double* x, std::size_t rows, std::size_t cols, const double* y,
                         double* __restrict w, double* __restrict scaler, double eta) {
  double* __restrict means = scaler;
  double* __restrict m2s = scaler + cols;
  double scaled[kMaxCols];
  for (std::size_t i = 0; i < rows; ++i) {
    const double* __restrict row = x + i * cols;
    const double count = scaler[2 * cols] + 1.0;
    scaler[2 * cols] = count;
    // The Welford step and the scaling by statistics that include it, in one pass.
    over_lanes(cols, [&]<class V>(std::size_t j) {
      const V value = load<V>(row + j);
      const V delta = value - load<V>(means + j);
      const V mean = load<V>(means + j) + delta / count;
      const V m2 = delta * (value - mean) + load<V>(m2s + j);
      store(means + j, mean);
      store(m2s + j, m2);
      store(scaled + j, (value - mean) / divisor(m2 / count));
    });
    sgd_step(w, scaled, cols, affine(w, scaled, cols) - y[i], eta);
  }
}

void predict_pipeline_avx2(const double* x, std::size_t rows, std::size_t cols, const double* w,
                           const double* scaler, double* out) {
  double scales[kMaxCols];
  const double count = scaler[2 * cols];
  over_lanes(cols, [&]<class V>(std::size_t j) {
    store(scales + j, count == 0.0 ? broadcast<V>(1.0) : divisor(load<V>(scaler + cols + j) / count));
  });
  double scaled[kMaxCols];
  for (std::size_t i = 0; i < rows; ++i) {
    const double* row = x + i * cols;
    over_lanes(cols, [&]<class V>(std::size_t j) {
      store(scaled + j, (load<V>(row + j) - load<V>(scaler + j)) / load<V>(scales + j));
    });
    out[i] = affine(w, scaled, cols);
  }
}

}  // namespace drel_bench
