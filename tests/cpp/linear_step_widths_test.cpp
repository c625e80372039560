// The one-sample step writes the new weights in place and puts the old ones
// back when one of them fails, or looks first and writes second for wide
// models: both must leave a refused model bit for bit as it was, wherever the
// failing weight sits, and must agree with the checked form when they succeed.
#include <gtest/gtest.h>

#include <cstddef>
#include <vector>

#include "linear/linear_regression.hpp"
#include "snapshot_samples.hpp"
#include "state_bits.hpp"
#include "test_support.hpp"

namespace drel {
namespace {

using namespace test;

struct Width {
  std::size_t n;
  std::size_t failing;  // the index whose weight gradient overflows
};

// Weights that every step changes, a prediction of 1e308 (the tiny features
// leave it alone) and a loss gradient of 1.7e308: the feature of 2.0 at
// `failing` makes that weight gradient infinite, every other one is finite.
LinearRegression spread_model(std::size_t n) {
  std::vector<double> weights(n);
  for (std::size_t i = 0; i < n; ++i) weights[i] = 0.25 * static_cast<double>(i + 1);
  return {n, weights, 1e308, samples::sgd(n, 1.0, 0.5), RegressionLoss{SquaredError{}}, 3};
}

std::vector<double> tiny_features(std::size_t n, std::size_t failing) {
  std::vector<double> x(n, 1e-300);
  x[failing] = 2.0;
  return x;
}

class LinearStepWidths : public ::testing::TestWithParam<Width> {};

TEST_P(LinearStepWidths, RefusedStepRestoresEveryWeight) {
  const Width w = GetParam();
  LinearRegression m = spread_model(w.n);
  const std::vector<double> x = tiny_features(w.n, w.failing);
  expect_rejected_unchanged(m, "non-finite value for `weight gradient`: inf",
                            [&](LinearRegression& o) { return o.learn_one(x, -7e307); });
}

TEST_P(LinearStepWidths, FastStepMatchesCheckedForm) {
  const Width w = GetParam();
  LinearRegression fast = spread_model(w.n);
  fast.intercept = 0.125;
  std::vector<double> x(w.n);
  for (std::size_t i = 0; i < w.n; ++i) x[i] = 1.0 / static_cast<double>(i + 3);
  LinearRegression checked = fast;
  for (double y : {1.5, -2.0, 0.3}) {
    ASSERT_TRUE(fast.learn_one(x, y).has_value());
    ASSERT_TRUE(checked.learn_one_checked(x, y).has_value());
  }
  EXPECT_EQ(state_bits(fast), state_bits(checked));
}

// AdaGrad's pass runs in blocks of lanes, of half the lanes, and one weight
// at a time: at every width it gives the checked form's bits, with and
// without an L2 penalty, and its checks fail wherever the failing weight sits.
TEST_P(LinearStepWidths, AdaGradStepMatchesCheckedForm) {
  const Width w = GetParam();
  for (double l2 : {0.0, 0.25}) {
    std::vector<double> accumulators(w.n);
    for (std::size_t i = 0; i < w.n; ++i) accumulators[i] = 0.5 / static_cast<double>(i + 1);
    LinearRegression fast = spread_model(w.n);
    fast.intercept = 0.125;
    fast.optimizer = Optimizer{AdaGrad{w.n, {0.05, l2, 1e-8}, accumulators, 0.75, 3}};
    LinearRegression checked = fast;
    std::vector<double> x(w.n);
    for (std::size_t i = 0; i < w.n; ++i) x[i] = (i % 3 == 0 ? -1.0 : 1.0) / static_cast<double>(i + 3);
    for (double y : {1.5, -2.0, 0.3}) {
      ASSERT_TRUE(fast.learn_one(x, y).has_value());
      ASSERT_TRUE(checked.learn_one_checked(x, y).has_value());
    }
    EXPECT_EQ(state_bits(fast), state_bits(checked)) << "l2 " << l2;
  }
}

TEST_P(LinearStepWidths, AdaGradRefusedStepRestoresEveryWeight) {
  const Width w = GetParam();
  LinearRegression m = spread_model(w.n);
  m.optimizer = Optimizer{AdaGrad{w.n, {0.05, 0.0, 1e-8}, std::vector<double>(w.n, 0.0), 0.0, 3}};
  const std::vector<double> x = tiny_features(w.n, w.failing);
  expect_rejected_unchanged(m, "non-finite value for `weight gradient`: inf",
                            [&](LinearRegression& o) { return o.learn_one(x, -7e307); });
}

INSTANTIATE_TEST_SUITE_P(Cases, LinearStepWidths,
                         ::testing::Values(Width{1, 0}, Width{2, 0}, Width{2, 1}, Width{3, 2},
                                           Width{5, 4}, Width{6, 5}, Width{7, 5}, Width{10, 9},
                                           Width{11, 5}, Width{32, 31},
                                           Width{33, 16}, Width{256, 255}, Width{257, 0},
                                           Width{257, 256}, Width{300, 150}));

}  // namespace
}  // namespace drel
