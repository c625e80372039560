// Shared helpers for the core tests: exact comparisons by bit pattern, so that
// -0.0 and 0.0 (and NaN payloads) are told apart.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "error/error.hpp"

namespace drel::test {

inline constexpr double kInf = std::numeric_limits<double>::infinity();
inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
inline constexpr std::uint64_t kMaxCount = std::numeric_limits<std::uint64_t>::max();

inline std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

inline std::vector<std::uint64_t> bits(const std::vector<double>& xs) {
  std::vector<std::uint64_t> out;
  out.reserve(xs.size());
  for (double x : xs) out.push_back(bits(x));
  return out;
}

// The rendered message of a failed result, or a marker when it succeeded.
template <class R>
std::string error_text(const R& result) {
  return result ? std::string("<no error>") : result.error().message();
}

// A constructor from (feature count, learning rate) and what it reports.
struct SgdConstruction {
  std::uint64_t feature_count;
  double learning_rate;
  const char* message;
};

}  // namespace drel::test
