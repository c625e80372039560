// The numeric guards every update uses. Plain comparisons on the hot path; an
// error (and its formatting) exists only when a check fails.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <string>

#include "error/error.hpp"

namespace drel {

inline bool is_finite(double x) { return std::fabs(x) < std::numeric_limits<double>::infinity(); }

// The value itself is reported, not the input it came from.
[[nodiscard]] inline Status check_finite(const char* name, double value) {
  if (is_finite(value)) [[likely]] return {};
  return fail(Error::non_finite_value(name, value));
}

// counter + 1, or "{sample name} counter overflow". The caller commits the new
// value together with the rest of its state.
[[nodiscard]] inline Result<std::uint64_t> checked_increment(std::uint64_t counter,
                                                             const char* sample_name) {
  if (counter != std::numeric_limits<std::uint64_t>::max()) [[likely]] return counter + 1;
  return fail(Error::invalid_model_state(std::string(sample_name) + " counter overflow"));
}

// Empty, then length, then the first non-finite element.
[[nodiscard]] inline Status check_features(std::span<const double> x, std::uint64_t expected) {
  if (x.empty()) return fail(Error::empty_features());
  if (x.size() != expected) return fail(Error::dimension_mismatch(expected, x.size()));
  for (double v : x) {
    if (!is_finite(v)) [[unlikely]] return fail(Error::non_finite_value("feature", v));
  }
  return {};
}

// Counts enter arithmetic by round-to-nearest conversion.
inline double as_real(std::uint64_t n) { return static_cast<double>(n); }

}  // namespace drel
