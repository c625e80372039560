#include "preprocessing/standard_scaler.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "case_names.hpp"
#include "state_bits.hpp"
#include "test_support.hpp"

namespace drel {
namespace {

using namespace test;

StandardScaler fresh(std::uint64_t n, StandardScalerConfig config = {}) {
  auto s = StandardScaler::create(n, config);
  EXPECT_TRUE(s) << error_text(s);
  return *s;
}

struct CreateCase {
  std::uint64_t feature_count;
  double epsilon;
  const char* message;
};

class ScalerCreate : public ::testing::TestWithParam<CreateCase> {};

TEST_P(ScalerCreate, ChecksInOrder) {
  const auto& c = GetParam();
  auto s = StandardScaler::create(c.feature_count, {true, true, c.epsilon});
  EXPECT_EQ(error_text(s), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ScalerCreate,
    ::testing::Values(CreateCase{0, kNaN, "empty features are not allowed"},
                      CreateCase{2, kNaN, "non-finite value for `epsilon`: NaN"},
                      CreateCase{2, -kInf, "non-finite value for `epsilon`: -inf"},
                      CreateCase{2, -1e-3, "invalid parameter `epsilon`: -0.001"},
                      CreateCase{2, -0.0, "<no error>"}, CreateCase{2, 0.0, "<no error>"}),
    named([](const CreateCase& c) { return words("features", c.feature_count, "epsilon", c.epsilon); }));

TEST(Scaler, NewScalerIsIdentity) {
  const auto s = fresh(3);
  const std::vector<double> x{-2.5, 0.0, 1e300};
  EXPECT_EQ(*s.transform_one(x), x);
  EXPECT_EQ(s.samples_seen(), 0u);
}

TEST(Scaler, SingleSampleCentresWithoutScaling) {
  auto s = fresh(1);
  ASSERT_TRUE(s.fit_one(std::vector{1.0}));
  EXPECT_EQ(*s.transform_one(std::vector{1.0}), std::vector{0.0});
  EXPECT_EQ(*s.transform_one(std::vector{4.0}), std::vector{3.0});
}

TEST(Scaler, TwoSamplesStandardise) {
  auto s = fresh(1);
  ASSERT_TRUE(s.fit_one(std::vector{1.0}));
  ASSERT_TRUE(s.fit_one(std::vector{3.0}));
  EXPECT_EQ(s.means, std::vector{2.0});
  EXPECT_EQ(s.m2s, std::vector{2.0});
  EXPECT_EQ(*s.transform_one(std::vector{5.0}), std::vector{3.0});
  EXPECT_EQ(s.samples_seen(), 2u);
}

struct ConfigCase {
  bool with_mean;
  bool with_std;
  double expected;
};

class ScalerConfig : public ::testing::TestWithParam<ConfigCase> {};

// Statistics mean 2, variance 4 (samples 0 and 4); input 6.
TEST_P(ScalerConfig, TransformFollowsFlags) {
  const auto& c = GetParam();
  auto s = fresh(1, {c.with_mean, c.with_std, 1e-12});
  ASSERT_TRUE(s.fit_one(std::vector{0.0}));
  ASSERT_TRUE(s.fit_one(std::vector{4.0}));
  EXPECT_EQ(*s.transform_one(std::vector{6.0}), std::vector{c.expected});
}

INSTANTIATE_TEST_SUITE_P(Cases, ScalerConfig,
                         ::testing::Values(ConfigCase{true, true, 2.0}, ConfigCase{false, true, 3.0},
                                           ConfigCase{true, false, 4.0},
                                           ConfigCase{false, false, 6.0}),
                         named([](const ConfigCase& c) {
                           return words(c.with_mean ? "with_mean" : "", c.with_std ? "with_std" : "",
                                        !c.with_mean && !c.with_std ? "neither" : "");
                         }));

struct ZeroFloorCase {
  double x;
  const char* message;
};

class ScalerZeroFloor : public ::testing::TestWithParam<ZeroFloorCase> {};

// With epsilon 0 a constant feature is divided by its zero standard deviation.
TEST_P(ScalerZeroFloor, ConstantFeatureFails) {
  auto s = fresh(1, {true, true, 0.0});
  ASSERT_TRUE(s.fit_one(std::vector{2.0}));
  ASSERT_TRUE(s.fit_one(std::vector{2.0}));
  expect_rejected_unchanged(s, GetParam().message, [](StandardScaler& o) {
    return o.transform_one(std::vector{GetParam().x});
  });
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ScalerZeroFloor,
    ::testing::Values(ZeroFloorCase{2.0, "non-finite value for `transformed feature`: NaN"},
                      ZeroFloorCase{3.0, "non-finite value for `transformed feature`: inf"},
                      ZeroFloorCase{1.0, "non-finite value for `transformed feature`: -inf"}),
    named([](const ZeroFloorCase& c) { return c.message; }));

TEST(Scaler, VarianceBelowFloorIsNotDivided) {
  auto s = fresh(1, {true, true, 5.0});
  ASSERT_TRUE(s.fit_one(std::vector{0.0}));
  ASSERT_TRUE(s.fit_one(std::vector{4.0}));  // variance 4 < 5
  EXPECT_EQ(*s.transform_one(std::vector{6.0}), std::vector{4.0});
}

StandardScaler state_of(std::uint64_t n, std::vector<std::uint64_t> counts,
                        std::vector<double> means, std::vector<double> m2s, double epsilon = 1e-12) {
  return StandardScaler{n, {true, true, epsilon}, std::move(counts), std::move(means),
                        std::move(m2s)};
}

struct FitRejection {
  const char* name;
  StandardScaler state;
  std::vector<double> x;
  const char* message;
};

class ScalerFitRejects : public ::testing::TestWithParam<FitRejection> {};

TEST_P(ScalerFitRejects, LeavesStateUntouched) {
  auto s = GetParam().state;
  expect_rejected_unchanged(s, GetParam().message,
                            [](StandardScaler& o) { return o.fit_one(GetParam().x); });
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ScalerFitRejects,
    ::testing::Values(
        FitRejection{"empty", fresh(2), {}, "empty features are not allowed"},
        FitRejection{"short_with_nan", fresh(2), {kNaN}, "dimension mismatch: expected 2, got 1"},
        FitRejection{"nan_feature", fresh(2), {1.0, kNaN}, "non-finite value for `feature`: NaN"},
        FitRejection{"validates_first", state_of(2, {2, 3}, {0.0, 0.0}, {0.0, 0.0}), {},
                     "invalid model state: standard scaler feature counts must stay "
                     "synchronized"},
        FitRejection{"counter", state_of(1, {kMaxCount}, {1.0}, {1.0}), {1.0},
                     "invalid model state: standard scaler sample counter overflow"},
        // Feature 0 is absorbed in the copies before feature 1 overflows.
        FitRejection{"delta_overflow", state_of(2, {1, 1}, {0.0, -1e308}, {0.0, 0.0}),
                     {1.0, 1e308}, "non-finite value for `standard scaler delta`: inf"},
        FitRejection{"m2_overflow", state_of(1, {2}, {0.0}, {1.7e308}), {1e154},
                     "non-finite value for `standard scaler M2`: inf"}),
    [](const auto& info) { return info.param.name; });

struct ValidateCase {
  const char* name;
  StandardScaler state;
  const char* message;
};

class ScalerValidate : public ::testing::TestWithParam<ValidateCase> {};

TEST_P(ScalerValidate, ReportsFirstProblem) {
  EXPECT_EQ(error_text(GetParam().state.validate()), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ScalerValidate,
    ::testing::Values(
        ValidateCase{"valid", state_of(2, {3, 3}, {1.0, -0.0}, {0.5, 0.0}), "<no error>"},
        ValidateCase{"zero_features", state_of(0, {}, {}, {}, kNaN),
                     "empty features are not allowed"},
        ValidateCase{"nan_epsilon", state_of(1, {}, {}, {}, kNaN),
                     "non-finite value for `epsilon`: NaN"},
        ValidateCase{"negative_epsilon", state_of(1, {}, {}, {}, -1.0),
                     "invalid parameter `epsilon`: -1"},
        ValidateCase{"short_means", state_of(3, {0, 0, 0}, {0.0, 0.0}, {0.0, 0.0, 0.0}),
                     "invalid model state: standard scaler feature_count does not match state "
                     "lengths"},
        ValidateCase{"nan_mean_beats_counts", state_of(2, {2, 3}, {kNaN, 0.0}, {0.0, 0.0}),
                     "invalid model state: standard scaler state must contain only finite values"},
        ValidateCase{"inf_m2", state_of(1, {2}, {0.0}, {kInf}),
                     "invalid model state: standard scaler state must contain only finite values"},
        ValidateCase{"negative_m2", state_of(1, {2}, {0.0}, {-1.0}),
                     "invalid model state: standard scaler m2s must be non-negative"},
        ValidateCase{"negative_m2_beats_counts", state_of(2, {2, 3}, {0.0, 0.0}, {-1.0, 0.0}),
                     "invalid model state: standard scaler m2s must be non-negative"},
        ValidateCase{"unsynchronized", state_of(2, {2, 3}, {0.0, 0.0}, {0.0, 0.0}),
                     "invalid model state: standard scaler feature counts must stay "
                     "synchronized"},
        ValidateCase{"mean_at_zero", state_of(2, {0, 0}, {0.0, 0.5}, {0.0, 3.0}),
                     "invalid model state: standard scaler means[1] must be 0 when count == 0, "
                     "got 0.5"},
        ValidateCase{"m2_at_zero", state_of(2, {0, 0}, {-0.0, 0.0}, {0.0, 3.0}),
                     "invalid model state: standard scaler m2s[1] must be 0 when count == 0, got "
                     "3"},
        ValidateCase{"m2_at_one", state_of(1, {1}, {7.0}, {0.25}),
                     "invalid model state: standard scaler m2s[0] must be 0 when count == 1, got "
                     "0.25"}),
    [](const auto& info) { return info.param.name; });

// States that bypass validation must never be read out of bounds.
TEST(Scaler, TransformOfShortStatisticsPassesMissingFeaturesThrough) {
  auto s = state_of(3, {2, 2}, {1.0}, {2.0, 2.0, 2.0, 2.0});
  EXPECT_EQ(*s.transform_one(std::vector{3.0, 5.0, -7.0}), (std::vector{2.0, 5.0, -7.0}));
}

TEST(Scaler, TransformIgnoresSurplusStatistics) {
  auto s = state_of(1, {2, 2}, {1.0, 9.0}, {2.0, 2.0});
  EXPECT_EQ(*s.transform_one(std::vector{3.0}), std::vector{2.0});
  EXPECT_EQ(error_text(s.transform_one(std::vector{3.0, 1.0})),
            "dimension mismatch: expected 1, got 2");
}

TEST(Scaler, SamplesSeenIsLargestCount) {
  EXPECT_EQ(state_of(3, {1, 4, 2}, {}, {}).samples_seen(), 4u);
  EXPECT_EQ(state_of(3, {}, {}, {}).samples_seen(), 0u);
}

}  // namespace
}  // namespace drel
