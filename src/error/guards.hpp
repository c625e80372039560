// The numeric guards every update uses. Plain comparisons on the hot path; an
// error (and its formatting) exists only when a check fails.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>

#include "error/error.hpp"

namespace drel {

// The guards are forced inline so that, on the path where a check passes, the
// returned Status folds away to a single comparison; building an error lives
// out of line, on the cold path.
#define DREL_GUARD [[nodiscard, gnu::always_inline]] inline

inline bool is_finite(double x) { return std::fabs(x) < std::numeric_limits<double>::infinity(); }

// Has its top bit set exactly when x is NaN or infinite (an exponent field of
// all ones carries into it). OR-ed over a vector it is a branch-free test that
// the compiler vectorises with plain integer operations.
[[gnu::always_inline]] inline std::uint64_t non_finite_bit(double x) {
  constexpr std::uint64_t kExponent = 0x7FF0000000000000;
  constexpr std::uint64_t kExponentOne = 0x0010000000000000;
  return (std::bit_cast<std::uint64_t>(x) & kExponent) + kExponentOne;
}
inline bool none_non_finite(std::uint64_t accumulated_bits) { return (accumulated_bits >> 63) == 0; }

[[gnu::cold, gnu::noinline]] std::unexpected<Error> non_finite(const char* name, double value);
[[gnu::cold, gnu::noinline]] std::unexpected<Error> counter_overflow(const char* sample_name);
[[gnu::cold, gnu::noinline]] std::unexpected<Error> feature_shape(std::size_t size,
                                                                  std::uint64_t expected);

// Returns NonFiniteValue(name, value) from the enclosing function when value is
// NaN or infinite: the form every update uses between its rounded operations.
#define DREL_CHECK_FINITE(name, value)                                          \
  do {                                                                          \
    if (const double drel_value_ = (value); !::drel::is_finite(drel_value_))    \
      [[unlikely]] return ::drel::non_finite(name, drel_value_);                \
  } while (0)

// The value itself is reported, not the input it came from.
DREL_GUARD Status check_finite(const char* name, double value) {
  if (is_finite(value)) [[likely]] return {};
  return non_finite(name, value);
}

// counter + 1, or "{sample name} counter overflow". The caller commits the new
// value together with the rest of its state.
DREL_GUARD Result<std::uint64_t> checked_increment(std::uint64_t counter, const char* sample_name) {
  if (counter != std::numeric_limits<std::uint64_t>::max()) [[likely]] return counter + 1;
  return counter_overflow(sample_name);
}

// Empty, then length, then the first non-finite element.
DREL_GUARD Status check_features(std::span<const double> x, std::uint64_t expected) {
  if (x.empty() || x.size() != expected) [[unlikely]] return feature_shape(x.size(), expected);
  for (double v : x) {
    if (!is_finite(v)) [[unlikely]] return non_finite("feature", v);
  }
  return {};
}

// Counts enter arithmetic by round-to-nearest conversion.
inline double as_real(std::uint64_t n) { return static_cast<double>(n); }

}  // namespace drel
