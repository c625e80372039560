#include "loss/loss.hpp"

#include <gtest/gtest.h>

#include "case_names.hpp"
#include "test_support.hpp"

namespace drel {
namespace {

using namespace test;

struct RegressionCase {
  RegressionLoss loss;
  double prediction;
  double target;
  double expected;
};

class RegressionGradient : public ::testing::TestWithParam<RegressionCase> {};

TEST_P(RegressionGradient, IsTheClippedResidual) {
  const auto& c = GetParam();
  EXPECT_EQ(bits(c.loss.gradient(c.prediction, c.target)), bits(c.expected));
}

const RegressionLoss kSquared{SquaredError{}};
RegressionLoss huber(double delta) { return RegressionLoss{HuberLoss{delta}}; }

INSTANTIATE_TEST_SUITE_P(
    Cases, RegressionGradient,
    ::testing::Values(RegressionCase{kSquared, 3.0, 1.0, 2.0},
                      RegressionCase{kSquared, 1.0, 3.0, -2.0},
                      RegressionCase{kSquared, 1e308, -1e308, kInf},
                      RegressionCase{huber(1.0), 0.5, 0.0, 0.5},
                      RegressionCase{huber(1.0), 1.0, 0.0, 1.0},  // |r| == delta keeps r
                      RegressionCase{huber(1.0), 4.0, 0.0, 1.0},
                      RegressionCase{huber(1.0), 0.0, 4.0, -1.0},
                      RegressionCase{huber(1.0), -0.0, 0.0, -0.0},
                      RegressionCase{huber(2.5), -7.0, 0.0, -2.5},
                      RegressionCase{huber(1.0), 1e308, -1e308, 1.0},
                      RegressionCase{huber(1.0), -1e308, 1e308, -1.0},
                      RegressionCase{huber(-2.0), 0.5, 0.0, -2.0},
                      RegressionCase{huber(-2.0), -0.5, 0.0, 2.0}),
    named([](const RegressionCase& c) {
      const auto* h = std::get_if<HuberLoss>(&c.loss.variant);
      return (h ? words("huber", h->delta) : words("squared")) + "_" +
             words("prediction", c.prediction, "target", c.target);
    }));

TEST(RegressionGradient, NaNDeltaGivesNaN) {
  for (double r : {0.0, 1.0, -3.0})
    EXPECT_NE(huber(kNaN).gradient(r, 0.0), huber(kNaN).gradient(r, 0.0));
}

TEST(BinaryLogLoss, GradientIsProbabilityMinusTarget) {
  for (double epsilon : {1e-15, 0.5}) {
    const BinaryLogLoss loss{epsilon};
    EXPECT_EQ(loss.gradient(0.75, true), -0.25);
    EXPECT_EQ(loss.gradient(0.75, false), 0.75);
    EXPECT_EQ(bits(loss.gradient(1.0, true)), bits(0.0));
  }
}

}  // namespace
}  // namespace drel
