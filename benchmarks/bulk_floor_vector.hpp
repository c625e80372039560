// The AVX2 floors of bulk_floor_vector.cpp (for benchmarks only). X is a
// C-contiguous rows x cols float64 array; w holds the weights then the
// intercept, acc AdaGrad's squared-gradient sums laid out the same way, scaler
// the means, then the M2s, then the sample count. Call only where has_avx2().
#pragma once

#include <cstddef>

namespace drel_bench {

// The widest row the floors take (their scratch rows live on the stack).
inline constexpr std::size_t kMaxCols = 4096;

bool has_avx2();

// LinearRegression with AdaGrad (no L2, epsilon 1e-8), every row in turn.
void learn_adagrad_avx2(const double* x, std::size_t rows, std::size_t cols, const double* y,
                        double* w, double* acc, double eta);

// RegressionPipeline: the scaler's step, then the model's on the scaled row.
void learn_pipeline_avx2(const double* x, std::size_t rows, std::size_t cols, const double* y,
                         double* w, double* scaler, double eta);

// RegressionPipeline's predictions, each feature's divisor worked out once.
void predict_pipeline_avx2(const double* x, std::size_t rows, std::size_t cols, const double* w,
                           const double* scaler, double* out);

}  // namespace drel_bench
