// The fast form of the standard scaler's fit and transform (see
// common/step_outcome.hpp), shared by its one-sample operations, the
// pipelines and the bulk loops. The per-feature arithmetic is written once,
// here, and the checked forms in standard_scaler.cpp compute with it too.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <type_traits>

#include "common/lanes.hpp"
#include "common/select.hpp"
#include "common/small_vector.hpp"
#include "error/guards.hpp"
#include "preprocessing/standard_scaler.hpp"
#include "stats/welford.hpp"

namespace drel {

// What a scaler does to a feature, read from its configuration once per call.
enum class Scaling { Identity, Centre, Divide, CentreAndDivide };

inline Scaling scaling_of(const StandardScalerConfig& c) {
  if (c.with_std) return c.with_mean ? Scaling::CentreAndDivide : Scaling::Divide;
  return c.with_mean ? Scaling::Centre : Scaling::Identity;
}

constexpr bool divides(Scaling s) { return s == Scaling::Divide || s == Scaling::CentreAndDivide; }

// Calls body(std::integral_constant<Scaling, s>{}): one instantiation per scaling.
template <class Body>
[[gnu::always_inline]] inline decltype(auto) with_scaling(Scaling s, Body&& body) {
  using enum Scaling;
  switch (s) {
    case CentreAndDivide: return body(std::integral_constant<Scaling, CentreAndDivide>{});
    case Divide: return body(std::integral_constant<Scaling, Divide>{});
    case Centre: return body(std::integral_constant<Scaling, Centre>{});
    case Identity: break;
  }
  return body(std::integral_constant<Scaling, Identity>{});
}

// The divisor of a feature whose variance is var: its square root, or 1 when
// the variance is below the floor epsilon (which is never a divisor itself).
// The root is taken either way and the choice made by select, so that the
// lanes of a pass pack into vector operations; the value chosen is the same.
[[gnu::always_inline]] inline double scale_of_variance(double var, double epsilon) {
  const double root = std::sqrt(var);
  return select(epsilon > var, 1.0, root);
}

// A feature's divisor from its statistics: 1 before its first sample.
inline double feature_scale(std::uint64_t count, double m2, double epsilon) {
  if (count == 0) return 1.0;
  return scale_of_variance(m2 / as_real(count), epsilon);
}

// x standardised by its feature's mean and divisor.
template <Scaling kScaling>
[[gnu::always_inline]] inline double standardised(double x, double mean, double scale) {
  if constexpr (kScaling == Scaling::CentreAndDivide) {
    const double centred = x - mean;
    return centred / scale;
  } else if constexpr (kScaling == Scaling::Divide) {
    return x / scale;
  } else if constexpr (kScaling == Scaling::Centre) {
    return x - mean;
  } else {
    return x;
  }
}

// x standardised by one feature's statistics.
inline double scaled_feature(double x, std::uint64_t count, double mean, double m2,
                             const StandardScalerConfig& c) {
  const double scale = c.with_std ? feature_scale(count, m2, c.epsilon) : 1.0;
  return with_scaling(scaling_of(c), [&](auto mode) {
    return standardised<decltype(mode)::value>(x, mean, scale);
  });
}

// Whether the fast fit may run: a consistent shape, x of that length, a
// counter that can still grow, and unless the state is known to be valid the
// scalar part of validate() (the per-feature part is features_valid).
inline bool fit_ready(const StandardScalerState& s, std::size_t x_size, bool validated) {
  if (x_size == 0 || x_size != s.feature_count || s.counts.size() != x_size ||
      s.means.size() != x_size || s.m2s.size() != x_size)
    return false;
  if (s.counts[0] == std::numeric_limits<std::uint64_t>::max()) return false;
  return validated || (is_finite(s.config.epsilon) && s.config.epsilon >= 0.0);
}

// What a fit pass does besides the Welford step of each feature.
enum class FitPass {
  // On a state not known to be valid: checks it (features_valid), then writes
  // the new statistics in place, saving the old ones in `saved` (means, then
  // m2s). A trial that fails puts them back itself; one that passes leaves
  // the counts to confirm_fit, or the old statistics to undo_fit, whichever
  // the rest of the step decides: one pass where checking first and writing
  // second would run the Welford step twice.
  Trial,
  TrialAndScale,  // the same, and x scaled by the new statistics into `scaled`
  Write,          // the new statistics and counts in place, on a valid state
  WriteAndScale,  // the same, and x scaled into `scaled`, as a pipeline's model reads it
};

// A valid state stays valid through a successful fit, so validating once is
// enough for any number of fits in a row: every count grows by one; every new
// mean and m2 is checked finite; the new m2 is not negative, because the
// rounded new mean never passes x (for count + 1 >= 2, |delta / n| < |x - mean|
// even after rounding), so delta and delta2 never have opposite signs; and a
// first sample leaves m2 = 0 (mean 0 makes delta = x, the new mean x, delta2 0).
// A non-finite mean or m2 needs no test: it makes the new m2 non-finite.
template <FitPass kPass, Scaling kScaling>
struct ScalerFitPass {
  static constexpr bool kTrial = kPass == FitPass::Trial || kPass == FitPass::TrialAndScale;
  static constexpr bool kScale = kPass == FitPass::TrialAndScale || kPass == FitPass::WriteAndScale;

  struct Feature {
    double mean;
    double m2;
    double scaled;
    std::uint64_t bad;  // top bit set when a check fails
  };

  [[gnu::always_inline]] static Feature one(double x, double mean, double m2, double next_real,
                                            double epsilon) {
    const WelfordQuantities q = welford_quantities(x, mean, m2, next_real);
    std::uint64_t bad = non_finite_bit(q.m2);
    double y = 0.0;
    if constexpr (kScale) {
      double scale = 1.0;
      if constexpr (divides(kScaling)) scale = scale_of_variance(q.m2 / next_real, epsilon);
      y = standardised<kScaling>(x, q.mean, scale);
      bad |= non_finite_bit(y);
    }
    return {q.mean, q.m2, y, bad};
  }

  // Features [i, i + kWidth) as one block of lanes (over_blocks), lane l's
  // checks OR-ed into bits[l].
  template <std::size_t kWidth>
  [[gnu::always_inline]] static void block(double* __restrict means, double* __restrict m2s,
                                           const double* __restrict x, double* __restrict scaled,
                                           double* __restrict saved_means,
                                           double* __restrict saved_m2s, std::size_t i,
                                           double next_real, double epsilon,
                                           std::uint64_t* __restrict bits) {
    for (std::size_t l = 0; l < kWidth; ++l) {
      const double mean = means[i + l];
      const double m2 = m2s[i + l];
      const Feature f = one(x[i + l], mean, m2, next_real, epsilon);
      bits[l] |= f.bad;
      if constexpr (kTrial) {
        saved_means[i + l] = mean;
        saved_m2s[i + l] = m2;
      }
      means[i + l] = f.mean;
      m2s[i + l] = f.m2;
      if constexpr (kScale) scaled[i + l] = f.scaled;
    }
  }

  // Returns whether every new m2 and scaled feature is finite; the counts
  // are left to the caller.
  template <std::size_t kLanes>
  [[gnu::always_inline]] static bool run(double* __restrict means, double* __restrict m2s,
                                         const double* __restrict x, double* __restrict scaled,
                                         double* __restrict saved_means,
                                         double* __restrict saved_m2s, std::size_t n,
                                         double next_real, double epsilon) {
    return none_non_finite(over_blocks<kLanes>(n, [&](auto width, std::size_t i, std::uint64_t* bits) {
      block<width()>(means, m2s, x, scaled, saved_means, saved_m2s, i, next_real, epsilon, bits);
    }));
  }
};

// The per-feature part of validate(), which a trial needs: equal counts, no
// negative m2, and the zeros that a count of 0 or 1 requires.
inline bool features_valid(const StandardScalerState& s) {
  const std::size_t n = s.counts.size();
  const std::uint64_t common = s.counts[0];
  bool invalid = false;
  for (std::size_t i = 0; i < n; ++i) invalid |= (s.counts[i] != common) | (s.m2s[i] < 0.0);
  if (common <= 1)
    for (std::size_t i = 0; i < n; ++i)
      invalid |= ((common == 0) & (s.means[i] != 0.0)) | (s.m2s[i] != 0.0);
  return !invalid;
}

// Puts back the statistics a trial saved.
inline void undo_fit(StandardScalerState& s, const double* saved) {
  const std::size_t n = s.counts.size();
  std::copy_n(saved, n, s.means.data());
  std::copy_n(saved + n, n, s.m2s.data());
}

// Grows the counts after a trial that the whole step has accepted.
inline void confirm_fit(StandardScalerState& s) {
  std::fill(s.counts.begin(), s.counts.end(), s.counts[0] + 1);
}

// One fit pass over the features of x (fit_ready has passed); `scaling` is
// the state's, read once by the caller. A trial needs 2 * feature_count
// doubles of `saved`, the scaling passes feature_count of `scaled`. Returns
// whether every check passes. A trial that fails has left the state as it
// was; a Write pass that fails has spoiled it.
template <FitPass kPass>
inline bool scaler_fit_pass(StandardScalerState& s, const double* x, double* scaled,
                            double* saved, Scaling scaling) {
  using Plain = ScalerFitPass<kPass, Scaling::Identity>;
  const std::size_t n = s.counts.size();
  const std::uint64_t common = s.counts[0];
  const double next_real = as_real(common + 1);
  const double epsilon = s.config.epsilon;
  if constexpr (Plain::kTrial)
    if (!features_valid(s)) return false;
  auto pass = [&](auto mode) {
    using Pass = ScalerFitPass<kPass, decltype(mode)::value>;
    double* const saved_m2s = saved == nullptr ? nullptr : saved + n;
    return Dispatched<Pass>::run(s.means.data(), s.m2s.data(), x, scaled, saved, saved_m2s, n,
                                 next_real, epsilon);
  };
  bool done;
  if constexpr (Plain::kScale)
    done = with_scaling(scaling, pass);
  else
    done = pass(std::integral_constant<Scaling, Scaling::Identity>{});
  if constexpr (Plain::kTrial) {
    if (!done) [[unlikely]] undo_fit(s, saved);
  } else {
    std::fill(s.counts.begin(), s.counts.end(), common + 1);
  }
  return done;
}

// The scratch of a one-sample fit: `saved` (2 per feature), and for a
// pipeline the scaled features too (3 per feature), on the stack for the
// feature counts whose weights a model's step keeps there as well.
using FitScratch = InlineVector<3 * 256>;

// Whether the fast transform may run: statistics for every feature of x.
inline bool transform_ready(const StandardScalerState& s, std::size_t x_size) {
  return x_size != 0 && x_size == s.feature_count && s.counts.size() == x_size &&
         s.means.size() == x_size && s.m2s.size() == x_size;
}

template <Scaling kScaling>
struct TransformPass {
  // `scales` is read only by a scaling that divides.
  [[gnu::always_inline]] static double one(double x, double mean, const double* scale) {
    if constexpr (divides(kScaling)) return standardised<kScaling>(x, mean, *scale);
    else return standardised<kScaling>(x, mean, 1.0);
  }

  template <std::size_t kWidth>
  [[gnu::always_inline]] static void block(const double* __restrict means,
                                           const double* __restrict scales,
                                           const double* __restrict x, double* __restrict out,
                                           std::size_t i, std::uint64_t* __restrict bits) {
    for (std::size_t l = 0; l < kWidth; ++l) {
      const double y = one(x[i + l], means[i + l], scales + i + l);
      bits[l] |= non_finite_bit(y);
      out[i + l] = y;
    }
  }

  // Returns whether every output is finite: a non-finite feature makes its
  // output non-finite in every configuration, so only the outputs need a test.
  template <std::size_t kLanes>
  [[gnu::always_inline]] static bool run(const double* __restrict means,
                                         const double* __restrict scales,
                                         const double* __restrict x, double* __restrict out,
                                         std::size_t n) {
    return none_non_finite(over_blocks<kLanes>(n, [&](auto width, std::size_t i, std::uint64_t* bits) {
      block<width()>(means, scales, x, out, i, bits);
    }));
  }
};

// A scaler's transform with each feature's divisor worked out once: the
// statistics do not change while a call transforms or predicts any number
// of rows. Built from a state of consistent shape; `usable` is false
// otherwise (every row then goes to the checked form).
class ScalePlan {
 public:
  explicit ScalePlan(const StandardScalerState& s)
      : state_(s), scaling_(scaling_of(s.config)) {
    const std::size_t n = s.counts.size();
    usable_ = n == s.feature_count && s.means.size() == n && s.m2s.size() == n;
    if (!usable_ || !divides(scaling_)) return;
    scales_.resize_for_overwrite(n);
    for (std::size_t i = 0; i < n; ++i)
      scales_[i] = feature_scale(s.counts[i], s.m2s[i], s.config.epsilon);
  }

  // Whether rows of `width` features can be transformed (the checked form
  // decides other rows).
  bool fits(std::size_t width) const { return usable_ && transform_ready(state_, width); }

  // body(mode, means, scales) with the scaling resolved once, as a type
  // (mode: a std::integral_constant<Scaling, ...>), for passes of rows that
  // fit; `scales` is read only by a scaling that divides.
  template <class Body>
  decltype(auto) with_statistics(Body body) const {
    return with_scaling(scaling_, [&](auto mode) {
      return body(mode, state_.means.data(), static_cast<const double*>(scales_.begin()));
    });
  }

  // body(transform) with the scaling resolved once: transform(x, out, n)
  // standardises a row that fits, returning whether every output is finite.
  template <class Body>
  decltype(auto) with_pass(Body body) const {
    return with_statistics([&](auto mode, const double* means, const double* scales) {
      return body([means, scales](const double* x, double* out, std::size_t n) {
        return Dispatched<TransformPass<decltype(mode)::value>>::run(means, scales, x, out, n);
      });
    });
  }

  // x standardised into out, if x has the state's width and every output is finite.
  bool apply(std::span<const double> x, double* out) const {
    if (!fits(x.size())) [[unlikely]] return false;
    return with_pass([&](auto transform) { return transform(x.data(), out, x.size()); });
  }


 private:
  const StandardScalerState& state_;
  Scaling scaling_;
  bool usable_;
  SmallVector scales_;
};

}  // namespace drel
