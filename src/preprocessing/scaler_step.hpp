// The fast form of the standard scaler's fit and transform (see
// common/step_outcome.hpp), shared by its one-sample operations, the
// pipelines and the bulk loops. The per-feature arithmetic is written once,
// here, and the checked forms in standard_scaler.cpp compute with it too.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

#include "error/guards.hpp"
#include "preprocessing/standard_scaler.hpp"
#include "stats/welford.hpp"

namespace drel {

// The divisor of one feature: its standard deviation (population). The
// variance floor epsilon is never a divisor: a feature without samples, or with
// a variance below the floor, is left unscaled (1).
[[gnu::always_inline]] inline double feature_scale(std::uint64_t count, double m2,
                                                   const StandardScalerConfig& c) {
  if (c.with_std && count != 0) {
    const double var = m2 / as_real(count);
    if (!(c.epsilon > var)) return std::sqrt(var);
  }
  return 1.0;
}

// x standardised by one feature's statistics.
[[gnu::always_inline]] inline double scaled_feature(double x, std::uint64_t count, double mean,
                                                    double m2, const StandardScalerConfig& c) {
  const double scale = feature_scale(count, m2, c);
  if (c.with_mean && c.with_std) {
    const double centred = x - mean;
    return centred / scale;
  }
  if (c.with_std) return x / scale;
  if (c.with_mean) return x - mean;
  return x;
}

// Whether the fast fit may run: a consistent shape, x of that length, a
// counter that can still grow, and unless the state is known to be valid the
// scalar part of validate() (the per-feature part is in scaler_fit_pass).
inline bool fit_ready(const StandardScalerState& s, std::size_t x_size, bool validated) {
  if (x_size == 0 || x_size != s.feature_count || s.counts.size() != x_size ||
      s.means.size() != x_size || s.m2s.size() != x_size)
    return false;
  if (s.counts[0] == std::numeric_limits<std::uint64_t>::max()) return false;
  return validated || (is_finite(s.config.epsilon) && s.config.epsilon >= 0.0);
}

// One pass over the features of x (fit_ready has passed): the Welford step of
// each, and with kTransform x scaled by the new statistics into `scaled`, as
// the pipelines hand it to their model. Returns whether every check passes.
// kValidate adds the per-feature part of validate(): equal counts, m2 not
// negative, the zeros that a count of 0 or 1 requires (a non-finite mean or m2
// needs no test: it makes the new m2 non-finite). kWrite stores the new
// statistics in place as it goes.
//
// A valid state stays valid through a successful fit, so validating once is
// enough for any number of fits in a row: every count grows by one; every new
// mean and m2 is checked finite; the new m2 is not negative, because the
// rounded new mean never passes x (for count + 1 >= 2, |delta / n| < |x - mean|
// even after rounding), so delta and delta2 never have opposite signs; and a
// first sample leaves m2 = 0 (mean 0 makes delta = x, the new mean x, delta2 0).
template <bool kWrite, bool kValidate, bool kTransform>
inline bool scaler_fit_pass(StandardScalerState& s, const double* __restrict x,
                            double* __restrict scaled) {
  const std::size_t n = s.counts.size();
  const std::uint64_t count = s.counts[0];
  const std::uint64_t next = count + 1;
  const double next_real = as_real(next);
  std::uint64_t* __restrict counts = s.counts.data();
  double* __restrict means = s.means.data();
  double* __restrict m2s = s.m2s.data();
  std::uint64_t bad = 0;
  bool invalid = false;
  for (std::size_t i = 0; i < n; ++i) {
    if constexpr (kValidate)
      invalid |= (counts[i] != count) | (m2s[i] < 0.0) | ((count == 0) & (means[i] != 0.0)) |
                 ((count <= 1) & (m2s[i] != 0.0));
    const WelfordQuantities q = welford_quantities(x[i], means[i], m2s[i], next_real);
    bad |= non_finite_bit(q.m2);
    if constexpr (kTransform) {
      const double y = scaled_feature(x[i], next, q.mean, q.m2, s.config);
      bad |= non_finite_bit(y);
      scaled[i] = y;
    }
    if constexpr (kWrite) {
      counts[i] = next;
      means[i] = q.mean;
      m2s[i] = q.m2;
    }
  }
  return !invalid && none_non_finite(bad);
}

// Whether the fast transform may run: statistics for every feature of x.
inline bool transform_ready(const StandardScalerState& s, std::size_t x_size) {
  return x_size != 0 && x_size == s.feature_count && s.counts.size() == x_size &&
         s.means.size() == x_size && s.m2s.size() == x_size;
}

// x standardised into out (transform_ready has passed). Returns whether every
// check passes: a non-finite feature makes its output non-finite in every
// configuration, so only the outputs need a test.
inline bool transform_pass(const StandardScalerState& s, const double* __restrict x,
                           double* __restrict out) {
  const std::size_t n = s.counts.size();
  std::uint64_t bad = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double y = scaled_feature(x[i], s.counts[i], s.means[i], s.m2s[i], s.config);
    bad |= non_finite_bit(y);
    out[i] = y;
  }
  return none_non_finite(bad);
}

}  // namespace drel
