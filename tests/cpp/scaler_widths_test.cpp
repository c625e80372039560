// The scaler's fast passes run a feature row in blocks of lanes, then a block
// of half the lanes, then feature by feature: at every width, and so with
// every mix of those, a fit, a transform and a pipeline's step must give the
// bits of the checked forms, which go feature by feature; and a feature that
// fails in any of the blocks must leave the state as it was.
#include <gtest/gtest.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "pipeline/pipeline.hpp"
#include "preprocessing/standard_scaler.hpp"
#include "snapshot_samples.hpp"
#include "state_bits.hpp"
#include "test_support.hpp"

namespace drel {
namespace {

using namespace test;

struct WidthCase {
  std::size_t n;
  bool with_mean;
  bool with_std;
};

std::vector<WidthCase> width_cases() {
  std::vector<WidthCase> cases;
  for (std::size_t n = 1; n <= 13; ++n)
    for (bool with_mean : {true, false})
      for (bool with_std : {true, false}) cases.push_back({n, with_mean, with_std});
  return cases;
}

// Sample k: a constant first feature (its variance stays below the floor,
// so it is never divided), signed zeros, and values of every size.
std::vector<double> sample(std::size_t n, int k) {
  std::vector<double> x(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double f = static_cast<double>(i + 1);
    x[i] = i == 0 ? 3.0 : (k % 3 == 0 ? -0.0 : (k - 2.5) * f * (i % 2 ? 1e-3 : 7.0) + 1.0 / f);
  }
  return x;
}

std::vector<std::uint64_t> bits_of(const std::vector<double>& v) {
  std::vector<std::uint64_t> bits;
  for (double d : v) bits.push_back(std::bit_cast<std::uint64_t>(d));
  return bits;
}

class ScalerWidths : public ::testing::TestWithParam<WidthCase> {
 protected:
  StandardScalerState fresh() const {
    const WidthCase c = GetParam();
    auto s = StandardScalerState::create(c.n, {c.with_mean, c.with_std, 1e-12});
    EXPECT_TRUE(s) << error_text(s);
    return *s;
  }
};

TEST_P(ScalerWidths, FitAndTransformAreTheCheckedForms) {
  const std::size_t n = GetParam().n;
  StandardScalerState fast = fresh();
  StandardScalerState checked = fresh();
  for (int k = 0; k < 6; ++k) {
    const std::vector<double> x = sample(n, k);
    ASSERT_TRUE(fast.fit_one(x).has_value());
    ASSERT_TRUE(checked.fit_one_checked(x).has_value());
    ASSERT_EQ(state_bits(fast), state_bits(checked)) << "sample " << k;
    const std::vector<double> probe = sample(n, k + 7);
    EXPECT_EQ(bits_of(*fast.transform_one(probe)), bits_of(*checked.transform_one_checked(probe)));
  }
}

TEST_P(ScalerWidths, PipelineStepIsTheCheckedForm) {
  const std::size_t n = GetParam().n;
  auto made = RegressionPipeline::create(fresh(), samples::fresh_linear(n, 0.01));
  ASSERT_TRUE(made) << error_text(made);
  RegressionPipeline fast = *made;
  RegressionPipeline checked = *made;
  for (int k = 0; k < 6; ++k) {
    const std::vector<double> x = sample(n, k);
    ASSERT_TRUE(fast.learn_one(x, 0.5 * k - 1.0).has_value());
    ASSERT_TRUE(checked.learn_one_checked(x, 0.5 * k - 1.0).has_value());
    ASSERT_EQ(state_bits(fast), state_bits(checked)) << "sample " << k;
  }
}

// A feature whose m2 overflows, at every position: in a full block, in the
// half block or one at a time, the fit is refused and nothing changes.
TEST_P(ScalerWidths, OverflowAnywhereChangesNothing) {
  const std::size_t n = GetParam().n;
  StandardScalerState s = fresh();
  ASSERT_TRUE(s.fit_one(sample(n, 1)).has_value());
  for (std::size_t failing = 0; failing < n; ++failing) {
    std::vector<double> x = sample(n, 2);
    x[failing] = 1.5e308;
    expect_rejected_unchanged(s, "non-finite value for `standard scaler M2`: inf",
                              [&](StandardScalerState& o) { return o.fit_one(x); });
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, ScalerWidths, ::testing::ValuesIn(width_cases()),
                         [](const ::testing::TestParamInfo<WidthCase>& info) {
                           const WidthCase& c = info.param;
                           return "width" + std::to_string(c.n) + (c.with_mean ? "_mean" : "") +
                                  (c.with_std ? "_std" : "");
                         });

}  // namespace
}  // namespace drel
