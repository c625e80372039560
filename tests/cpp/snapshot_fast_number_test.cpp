// The writer's own shortest digits and the reader's direct number path, each
// against the general routine it stands in for, where a shortcut could
// diverge: every binade's edges, subnormals, integers near 2^53, long digit
// strings, exponents at the ends of the range.

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <variant>

#include "snapshot/json_cursor.hpp"
#include "snapshot/shortest_decimal.hpp"
#include "snapshot_samples.hpp"

namespace drel {
namespace {

// The digits and exponent of the standard library's shortest scientific form.
snapshot::ShortestDecimal reference_decimal(double x) {
  char text[40];
  const auto r = std::to_chars(text, text + sizeof text, std::fabs(x), std::chars_format::scientific);
  std::uint64_t significand = 0;
  int fraction_digits = 0;
  bool after_point = false;
  const char* p = text;
  for (; *p != 'e'; ++p) {
    if (*p == '.') {
      after_point = true;
      continue;
    }
    significand = significand * 10 + static_cast<std::uint64_t>(*p - '0');
    if (after_point) ++fraction_digits;
  }
  int exponent = 0;
  std::from_chars(p + (p[1] == '+' ? 2 : 1), r.ptr, exponent);
  exponent -= fraction_digits;
  while (significand % 10 == 0) {
    significand /= 10;
    ++exponent;
  }
  return {significand, exponent};
}

void expect_shortest(double x) {
  if (!std::isfinite(x) || x == 0.0) return;
  const auto mine = snapshot::shortest_decimal(x);
  const auto reference = reference_decimal(x);
  EXPECT_EQ(mine.significand, reference.significand) << std::hexfloat << x;
  EXPECT_EQ(mine.exponent, reference.exponent) << std::hexfloat << x;
}

double from_bits(std::uint64_t bits) { return std::bit_cast<double>(bits); }

TEST(ShortestDecimal, BinadeEdgesOfEveryExponent) {
  constexpr std::uint64_t kFractionMask = (std::uint64_t{1} << 52) - 1;
  for (std::uint64_t biased = 0; biased < 2047 && !HasFailure(); ++biased) {
    for (std::uint64_t fraction : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{2},
                                   std::uint64_t{3}, kFractionMask - 1, kFractionMask}) {
      expect_shortest(from_bits((biased << 52) | fraction));
    }
  }
}

TEST(ShortestDecimal, SmallSubnormalsAndIntegers) {
  for (std::uint64_t c = 1; c < 200'000 && !HasFailure(); ++c) {
    expect_shortest(from_bits(c));
    expect_shortest(static_cast<double>(c));
    expect_shortest(static_cast<double>((std::uint64_t{1} << 53) - c));
    expect_shortest(static_cast<double>((std::uint64_t{1} << 53) + 2 * c));
  }
}

TEST(ShortestDecimal, NeighboursOfPowersOfTen) {
  for (int e = -323; e <= 308 && !HasFailure(); ++e) {
    const double p = std::strtod(("1e" + std::to_string(e)).c_str(), nullptr);
    double below = p, above = p;
    for (int step = 0; step < 8; ++step) {
      expect_shortest(below);
      expect_shortest(above);
      below = std::nextafter(below, 0.0);
      above = std::nextafter(above, std::numeric_limits<double>::infinity());
    }
  }
}

TEST(ShortestDecimal, RandomBitPatterns) {
  std::mt19937_64 rng(7);
  for (int i = 0; i < 2'000'000 && !HasFailure(); ++i) expect_shortest(from_bits(rng()));
}

// ---- the reader's direct path against the general one -----------------------

// The value and the bytes consumed, or the failure's message and position.
struct Outcome {
  bool ok;
  std::uint64_t bits;
  std::size_t consumed;
  std::string error;
  bool operator==(const Outcome&) const = default;
};

Outcome direct(const std::string& text) {
  snapshot::JsonCursor in(text);
  const auto value = in.real();
  if (!value) return {false, 0, value.error().consumed, value.error().text};
  return {true, std::bit_cast<std::uint64_t>(*value), in.consumed(), ""};
}

Outcome general(const std::string& text) {
  snapshot::JsonCursor in(text);
  const auto number = in.number();
  if (!number) return {false, 0, number.error().consumed, number.error().text};
  const double value = std::visit([](auto v) { return static_cast<double>(v); }, *number);
  return {true, std::bit_cast<std::uint64_t>(value), in.consumed(), ""};
}

void expect_same_reading(const std::string& text) {
  const Outcome a = direct(text);
  const Outcome b = general(text);
  EXPECT_EQ(a, b) << text << ": " << (a.ok ? "" : a.error) << " / " << (b.ok ? "" : b.error);
}

TEST(DirectNumberReading, EdgeTexts) {
  for (const char* text :
       {"0", "-0", "0.0", "-0.0", "0e0", "-0E-0", "1", "-1", "18446744073709551615",
        "18446744073709551616", "-9223372036854775808", "-9223372036854775809",
        "9007199254740993", "123456789012345678901234567890", "1.7976931348623157e308",
        "1.7976931348623158e308", "1.7976931348623159e308", "-1.8e308", "1e309", "1e-324",
        "2e-324", "2.4703282292062327e-324", "2.4703282292062328e-324", "5e-324", "-5e-324",
        "4.9406564584124654e-324", "2.2250738585072011e-308", "2.2250738585072014e-308",
        "1e-400", "-1e-400", "1e0000000000000000000000000005", "0.000000000000000000001e21",
        "1.", "1.e5", "-", "-a", "01", "-01", "1e", "1e+", "1E-", ".5", "1.5e5x", "1.0e+5,",
        "0.1 ", "1e400000000000000000000"}) {
    expect_same_reading(text);
  }
}

TEST(DirectNumberReading, RandomDigitStringsOfEveryLength) {
  std::mt19937_64 rng(11);
  const auto digits = [&](std::size_t n, bool leading_nonzero) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
      s += static_cast<char>('0' + (i == 0 && leading_nonzero ? 1 + rng() % 9 : rng() % 10));
    }
    return s;
  };
  for (int i = 0; i < 300'000 && !HasFailure(); ++i) {
    std::string text = (rng() & 1) ? "-" : "";
    text += (rng() % 8 == 0) ? "0" : digits(1 + rng() % 25, true);
    if (rng() % 4 != 0) text += "." + digits(1 + rng() % (rng() % 8 == 0 ? 80 : 20), false);
    if (rng() % 2 == 0) {
      text += (rng() & 1) ? "e" : "E";
      const int sign = static_cast<int>(rng() % 3);
      if (sign != 0) text += sign == 1 ? "+" : "-";
      // Exponents all over the range and just past its ends.
      const std::uint64_t magnitude = rng() % 4 == 0 ? 280 + rng() % 70 : rng() % 400;
      text += std::to_string(magnitude);
    }
    expect_same_reading(text);
  }
}

TEST(DirectNumberReading, WrittenDoublesOfEveryMagnitude) {
  std::mt19937_64 rng(13);
  for (int i = 0; i < 300'000 && !HasFailure(); ++i) {
    const double x = std::bit_cast<double>(rng());
    if (!std::isfinite(x)) continue;
    char text[40];
    const char* end = std::to_chars(text, text + sizeof text, x, std::chars_format::general, 17).ptr;
    expect_same_reading(std::string(text, static_cast<std::size_t>(end - text)));
  }
}

}  // namespace
}  // namespace drel
