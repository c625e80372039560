// The terms of a mean metric for a whole block of samples in one branch-free
// pass the compiler can vectorise, for the terms that have such a form; the
// block then goes to ExactSum::add_many. Each form computes every term as the
// checked term does, in the same operations, and folds the term's checks into
// one flag: when the flag says that a check fails somewhere in the block, the
// caller replays the block sample by sample with the checked term, which names
// the first failure.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "error/guards.hpp"
#include "metrics/log_loss.hpp"
#include "metrics/regression_metrics.hpp"

namespace drel {

// Rows per block: a multiple of every vector width, small enough for the stack,
// large enough that ExactSum::add_many's fold into the cells, once per call,
// costs little per term.
inline constexpr std::size_t kTermBlock = 1024;

// No branch-free form: the per-sample loop.
template <auto Term>
struct BlockTerms {
  static constexpr bool kAvailable = false;
};

// Each form also has `one(y, p, bad)`: the term of one sample, its checks
// folded into the top bit of `bad` (as non_finite_bit does), for a caller
// that takes the terms a row at a time inside a loop of its own.

// The block form of the forms whose checks fold into the term's own bits.
template <class Form>
struct FoldedBlock {
  static constexpr bool kAvailable = true;
  [[gnu::always_inline]] static bool fill(const double* y, const double* p, std::size_t n, double* out) {
    std::uint64_t bad = 0;
    for (std::size_t i = 0; i < n; ++i) out[i] = Form::one(y[i], p[i], bad);
    return none_non_finite(bad);
  }
};

// |y - p|: a NaN or an infinity in y or p, or an overflowing difference,
// leaves the difference non-finite, which is each of the checks.
template <>
struct BlockTerms<&absolute_error> : FoldedBlock<BlockTerms<&absolute_error>> {
  [[gnu::always_inline]] static double one(double y, double p, std::uint64_t& bad) {
    const double error = y - p;
    bad |= non_finite_bit(error);
    return std::fabs(error);
  }
};

// (y - p)^2 from the rounded difference: non-finite when the difference is,
// or when the square overflows.
template <>
struct BlockTerms<&squared_error_term> : FoldedBlock<BlockTerms<&squared_error_term>> {
  [[gnu::always_inline]] static double one(double y, double p, std::uint64_t& bad) {
    const double error = y - p;
    const double squared = error * error;
    bad |= non_finite_bit(squared);
    return squared;
  }
};

// -log of the clamped probability of the true class. The check is that p is
// in [0, 1], which neither a NaN nor an infinity is; the logarithm stays
// scalar (a vector logarithm would round differently).
template <>
struct BlockTerms<&checked_log_loss_term> {
  static constexpr bool kAvailable = true;
  [[gnu::always_inline]] static bool fill(const std::uint8_t* y, const double* p, std::size_t n, double* out) {
    bool bad = false;
    for (std::size_t i = 0; i < n; ++i) bad |= !(p[i] >= 0.0 && p[i] <= 1.0);
    if (bad) return false;
    for (std::size_t i = 0; i < n; ++i) out[i] = log_loss_term(y[i] != 0, p[i]);
    return true;
  }
  [[gnu::always_inline]] static double one(std::uint8_t y, double p, std::uint64_t& bad) {
    bad |= std::uint64_t{!(p >= 0.0 && p <= 1.0)} << 63;
    return log_loss_term(y != 0, p);
  }
};

}  // namespace drel
