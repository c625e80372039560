// The branch-free logistic function gives, bit for bit, what the two-branch
// form gives: over random bit patterns of every exponent and over the edges
// (signed zeros, subnormals, the exponential's overflow and underflow
// thresholds, the largest finite values, infinities).
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "linear/logistic_regression.hpp"

namespace drel {
namespace {

// Each branch exponentiates a non-positive number.
double two_branch_logistic(double z) {
  if (z >= 0.0) {
    const double denominator = 1.0 + std::exp(-z);
    return 1.0 / denominator;
  }
  const double e = std::exp(z);
  const double denominator = 1.0 + e;
  return e / denominator;
}

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

void expect_same_bits(double z) {
  EXPECT_EQ(bits(logistic(z)), bits(two_branch_logistic(z))) << "z = " << z << " (bits 0x"
                                                             << std::hex << bits(z) << ")";
}

TEST(Logistic, EdgesGiveTheTwoBranchBits) {
  constexpr double kMax = std::numeric_limits<double>::max();
  constexpr double kInf = std::numeric_limits<double>::infinity();
  const std::vector<double> edges = {
      0.0, std::numeric_limits<double>::denorm_min(), std::numeric_limits<double>::min(),
      std::bit_cast<double>(std::uint64_t{0x000FFFFFFFFFFFFF}),  // the largest subnormal
      1e-300, 1e-17, 1e-6, 0.5, 1.0, 2.0, 18.0, 36.7, 37.0, 40.0, 700.0,
      709.782712893384,  // exp overflows just above
      709.79, 744.44, 745.1332191019411, 746.0, 1e10, 1e300, kMax, kInf};
  for (double z : edges) {
    expect_same_bits(z);
    expect_same_bits(-z);
    expect_same_bits(std::nextafter(z, kInf));
    expect_same_bits(-std::nextafter(z, kInf));
    if (z > 0.0) {
      expect_same_bits(std::nextafter(z, 0.0));
      expect_same_bits(-std::nextafter(z, 0.0));
    }
  }
  EXPECT_EQ(logistic(0.0), 0.5);
  EXPECT_EQ(logistic(-0.0), 0.5);
  EXPECT_TRUE(std::isnan(logistic(std::numeric_limits<double>::quiet_NaN())));
}

TEST(Logistic, RandomBitPatternsGiveTheTwoBranchBits) {
  std::mt19937_64 random(20261207);
  for (int i = 0; i < 2'000'000; ++i) {
    const double z = std::bit_cast<double>(random());
    if (std::isnan(z)) continue;
    expect_same_bits(z);
    if (HasFailure()) return;  // one report is enough
  }
}

TEST(Logistic, RandomModerateLogitsGiveTheTwoBranchBits) {
  // Where real logits fall, and where the result is neither 0 nor 1.
  std::mt19937_64 random(7);
  std::uniform_real_distribution<double> moderate(-40.0, 40.0);
  for (int i = 0; i < 2'000'000; ++i) {
    expect_same_bits(moderate(random));
    if (HasFailure()) return;
  }
}

}  // namespace
}  // namespace drel
