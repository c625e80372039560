#include "stats/variance.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "case_names.hpp"
#include "state_bits.hpp"
#include "test_support.hpp"

namespace drel {
namespace {

using namespace test;

TEST(VarianceKindText, ExactLowerCaseOnly) {
  EXPECT_EQ(variance_kind_from_text("population"), VarianceKind::Population);
  EXPECT_EQ(variance_kind_from_text("sample"), VarianceKind::Sample);
  for (const char* text : {"Population", "Sample", " sample", "sample ", "", "pop"})
    EXPECT_EQ(variance_kind_from_text(text), std::nullopt) << text;
}

struct SeriesCase {
  std::vector<double> values;
  VarianceKind kind;
  double mean;
  double m2;
  std::optional<double> value;
  std::optional<double> stddev;
};

class VarianceSeries : public ::testing::TestWithParam<SeriesCase> {};

TEST_P(VarianceSeries, MatchesWelford) {
  const auto& c = GetParam();
  auto v = Variance::create(c.kind);
  for (double x : c.values) ASSERT_TRUE(v.update(x));
  EXPECT_EQ(v.count, c.values.size());
  EXPECT_EQ(bits(v.mean), bits(c.mean));
  EXPECT_EQ(bits(v.m2), bits(c.m2));
  EXPECT_EQ(v.value(), c.value);
  EXPECT_EQ(v.stddev(), c.stddev);
}

constexpr auto kPop = VarianceKind::Population;
constexpr auto kSample = VarianceKind::Sample;
const std::vector<double> kEight{2, 4, 4, 4, 5, 5, 7, 9};

INSTANTIATE_TEST_SUITE_P(
    Cases, VarianceSeries,
    ::testing::Values(SeriesCase{{}, kPop, 0.0, 0.0, std::nullopt, std::nullopt},
                      SeriesCase{{}, kSample, 0.0, 0.0, std::nullopt, std::nullopt},
                      SeriesCase{{3.0}, kPop, 3.0, 0.0, 0.0, 0.0},
                      SeriesCase{{3.0}, kSample, 3.0, 0.0, std::nullopt, std::nullopt},
                      SeriesCase{kEight, kPop, 5.0, 32.0, 4.0, 2.0},
                      SeriesCase{kEight, kSample, 5.0, 32.0, 4.571428571428571,
                                 2.138089935299395},
                      SeriesCase{{1, 2, 3, 4}, kPop, 2.5, 5.0, 1.25, 1.118033988749895},
                      SeriesCase{{1, 2, 3, 4}, kSample, 2.5, 5.0, 1.6666666666666667,
                                 1.2909944487358056}),
    named([](const SeriesCase& c) {
      return words(c.values.size(), "values", c.kind == kPop ? "population" : "sample");
    }));

struct Rejection {
  const char* name;
  Variance before;
  double x;
  const char* message;
};

class VarianceRejects : public ::testing::TestWithParam<Rejection> {};

TEST_P(VarianceRejects, LeavesStateUntouched) {
  auto v = GetParam().before;
  expect_rejected_unchanged(v, GetParam().message,
                            [](Variance& o) { return o.update(GetParam().x); });
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VarianceRejects,
    ::testing::Values(
        Rejection{"nan", {2, -0.0, 0.0, kPop}, kNaN, "non-finite value for `value`: NaN"},
        Rejection{"inf", {2, 1.0, 0.0, kPop}, kInf, "non-finite value for `value`: inf"},
        Rejection{"counter", {kMaxCount, 1.0, 0.0, kSample}, 1.0,
                  "invalid model state: variance sample counter overflow"},
        Rejection{"delta_overflow", {1, -1e308, 0.0, kPop}, 1e308,
                  "non-finite value for `variance delta`: inf"},
        // delta and the mean stay finite; the squared deviation does not.
        Rejection{"squared_deviation_overflow", {1, 0.0, 0.0, kPop}, 1e200,
                  "non-finite value for `variance M2`: inf"},
        Rejection{"m2_sum_overflow", {3, 0.0, 1.7e308, kPop}, 1e154,
                  "non-finite value for `variance M2`: inf"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace drel
