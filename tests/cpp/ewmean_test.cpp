#include "stats/ewmean.hpp"

#include <gtest/gtest.h>

#include "case_names.hpp"
#include "state_bits.hpp"
#include "test_support.hpp"

namespace drel {
namespace {

using namespace test;

struct AlphaCase {
  double alpha;
  const char* message;
};

class EWMeanCreate : public ::testing::TestWithParam<AlphaCase> {};

TEST_P(EWMeanCreate, AcceptsOnlyHalfOpenUnitInterval) {
  EXPECT_EQ(error_text(ExponentiallyWeightedMean::create(GetParam().alpha)), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EWMeanCreate,
    ::testing::Values(AlphaCase{0.0, "invalid parameter `alpha`: 0"},
                      AlphaCase{-0.0, "invalid parameter `alpha`: -0"},
                      AlphaCase{-0.5, "invalid parameter `alpha`: -0.5"},
                      AlphaCase{1.5, "invalid parameter `alpha`: 1.5"},
                      AlphaCase{kNaN, "non-finite value for `alpha`: NaN"},
                      AlphaCase{kInf, "non-finite value for `alpha`: inf"},
                      AlphaCase{1.0, "<no error>"}, AlphaCase{5e-324, "<no error>"}),
    named([](const AlphaCase& c) { return words("alpha", c.alpha); }));

TEST(EWMean, WeighsNewestByAlpha) {
  auto m = *ExponentiallyWeightedMean::create(0.5);
  EXPECT_EQ(bits(m.value()), bits(0.0));
  for (double x : {10.0, 20.0}) ASSERT_TRUE(m.update(x));
  EXPECT_EQ(m.value(), 15.0);
  ASSERT_TRUE(m.update(0.0));
  EXPECT_EQ(m.value(), 7.5);
  EXPECT_EQ(m.count, 3u);
}

TEST(EWMean, AlphaOneTracksLastValue) {
  auto m = *ExponentiallyWeightedMean::create(1.0);
  for (double x : {3.0, -7.25, 1e-300}) {
    ASSERT_TRUE(m.update(x));
    EXPECT_EQ(bits(m.value()), bits(x));
  }
}

TEST(EWMean, FirstValidValueIsTakenOutright) {
  auto m = *ExponentiallyWeightedMean::create(0.25);
  EXPECT_FALSE(m.update(kNaN));
  ASSERT_TRUE(m.update(8.0));
  EXPECT_EQ(m.value(), 8.0);
}

struct Rejection {
  const char* name;
  ExponentiallyWeightedMean before;
  double x;
  const char* message;
};

class EWMeanRejects : public ::testing::TestWithParam<Rejection> {};

TEST_P(EWMeanRejects, LeavesStateUntouched) {
  auto m = GetParam().before;
  expect_rejected_unchanged(m, GetParam().message,
                            [](ExponentiallyWeightedMean& o) { return o.update(GetParam().x); });
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EWMeanRejects,
    ::testing::Values(
        Rejection{"nan", {0.5, -0.0, 1}, kNaN, "non-finite value for `value`: NaN"},
        Rejection{"minus_inf", {0.5, 1.0, 1}, -kInf, "non-finite value for `value`: -inf"},
        Rejection{"counter", {0.5, 1.0, kMaxCount}, 1.0,
                  "invalid model state: EW mean sample counter overflow"},
        Rejection{"nan_before_counter", {0.5, 1.0, kMaxCount}, kNaN,
                  "non-finite value for `value`: NaN"},
        // An alpha outside (0, 1] can only be loaded; then the mean can overflow.
        Rejection{"loaded_alpha_overflows", {2.0, -1e308, 1}, 1e308,
                  "non-finite value for `EW mean`: inf"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace drel
