#include <gtest/gtest.h>

#include <limits>

#include "stats/mean.hpp"

namespace drel {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

TEST(Mean, FirstUpdateTakesTheValue) {
  Mean m;
  ASSERT_TRUE(m.update(-3.25));
  EXPECT_EQ(m.count, 1u);
  EXPECT_EQ(m.value(), -3.25);
}

TEST(Mean, AveragesOneToFour) {
  Mean m;
  for (double x : {1.0, 2.0, 3.0, 4.0}) ASSERT_TRUE(m.update(x));
  EXPECT_EQ(m.value(), 2.5);
  EXPECT_EQ(m.count, 4u);
}

struct Rejection {
  const char* name;
  Mean before;
  double x;
  const char* message;
};

class MeanRejects : public ::testing::TestWithParam<Rejection> {};

TEST_P(MeanRejects, LeavesStateUntouched) {
  Mean m = GetParam().before;
  const auto status = m.update(GetParam().x);
  ASSERT_FALSE(status);
  EXPECT_EQ(status.error().message(), GetParam().message);
  EXPECT_EQ(m.count, GetParam().before.count);
  EXPECT_EQ(m.mean, GetParam().before.mean);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MeanRejects,
    ::testing::Values(
        Rejection{"nan", {2, 1.0}, kNaN, "non-finite value for `value`: NaN"},
        Rejection{"inf", {2, 1.0}, kInf, "non-finite value for `value`: inf"},
        Rejection{"minus_inf", {2, 1.0}, -kInf, "non-finite value for `value`: -inf"},
        Rejection{"delta_overflow", {1, -1e308}, 1e308, "non-finite value for `mean delta`: inf"},
        Rejection{"counter", {kMax, 0.5}, 1.0, "invalid model state: mean sample counter overflow"},
        // The input check comes before the counter guard.
        Rejection{"nan_before_counter", {kMax, 0.5}, kNaN, "non-finite value for `value`: NaN"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace drel
