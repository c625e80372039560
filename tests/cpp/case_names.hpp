// Names for parametrised cases, so that a case reads as what it checks
// ("Cases/SgdCreate.ChecksCountThenFinitenessThenRanges/features_3_rate_minus_1_l2_0")
// rather than as its index. GoogleTest takes letters, digits and underscores.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <charconv>
#include <concepts>
#include <string>
#include <string_view>

#include "test_support.hpp"

namespace drel::test {

// A text reduced to its words joined by underscores. A minus sign that starts
// a number, an infinity or a NaN reads "minus", so that -1 and 1 stay apart.
inline std::string case_name(std::string_view text) {
  std::string name;
  bool gap = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (std::isalnum(c)) {
      if (gap && !name.empty()) name += '_';
      gap = false;
      name += static_cast<char>(c);
      continue;
    }
    const bool starts_word = i == 0 || !std::isalnum(static_cast<unsigned char>(text[i - 1]));
    const std::string_view rest = text.substr(i + 1);
    const bool sign = c == '-' && starts_word && !rest.empty() &&
                      (std::isdigit(static_cast<unsigned char>(rest[0])) ||
                       rest.starts_with("inf") || rest.starts_with("nan"));
    if (sign) {
      if (!name.empty()) name += '_';
      name += "minus";
    }
    gap = true;
  }
  return name.empty() ? "empty" : name;
}

// The parts of a name: texts as they stand, counts in decimal, reals as
// their shortest round-trip text.
inline std::string name_part(std::string_view text) { return std::string(text); }
inline std::string name_part(std::unsigned_integral auto n) { return std::to_string(n); }
inline std::string name_part(double x) {
  char buffer[32];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, x).ptr;
  return std::string(buffer, end);
}

// Labelled values joined into one name: words("rate", 0.1) is "rate_0_1".
template <class... Parts>
std::string words(const Parts&... parts) {
  std::string text;
  ((text += name_part(parts), text += ' '), ...);
  return case_name(text);
}

// The name generator for INSTANTIATE_TEST_SUITE_P, from a function that
// describes one case.
template <class Describe>
auto named(Describe describe) {
  return [describe](const auto& info) { return case_name(describe(info.param)); };
}

// The same, with the case's index in front: for tables whose descriptions may
// reduce to one name ("1e-12" and "1e+12" both read "1e_12").
template <class Describe>
auto indexed(Describe describe) {
  return [describe](const auto& info) {
    return "case_" + std::to_string(info.index) + "_" + case_name(describe(info.param));
  };
}

// A model or pipeline constructor's case, by its two arguments.
inline std::string describe_sgd_construction(const SgdConstruction& c) {
  return words("features", c.feature_count, "rate", c.learning_rate);
}

}  // namespace drel::test
