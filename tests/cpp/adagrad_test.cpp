#include "optim/adagrad.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "optim/optimizer.hpp"
#include "state_bits.hpp"
#include "test_support.hpp"

namespace drel {
namespace {

using namespace test;

AdaGrad adagrad(AdaGradConfig config, std::vector<double> accumulators,
                std::uint64_t samples_seen = 0) {
  const std::uint64_t n = accumulators.size();
  return AdaGrad{n, config, std::move(accumulators), 0.0, samples_seen};
}

TEST(AdaGradStep, TwoStepsScaleByAccumulatedSquares) {
  Optimizer o{adagrad({0.5, 0.0, 0.0}, {0.0})};
  std::vector<double> w{1.0};
  double b = 0.0;
  ASSERT_TRUE(o.step(w, b, std::vector{2.0}, 2.0));
  const auto& a = std::get<AdaGrad>(o.variant);
  EXPECT_EQ(w, std::vector{0.5});
  EXPECT_EQ(b, -0.5);
  EXPECT_EQ(a.grad_sq_weights, std::vector{4.0});
  EXPECT_EQ(a.grad_sq_intercept, 4.0);

  ASSERT_TRUE(o.step(w, b, std::vector{2.0}, 2.0));
  EXPECT_EQ(bits(w), bits(std::vector{0.14644660940672627}));
  EXPECT_EQ(bits(b), bits(-0.8535533905932737));
  EXPECT_EQ(a.grad_sq_weights, std::vector{8.0});
  EXPECT_EQ(a.grad_sq_intercept, 8.0);
  EXPECT_EQ(a.samples_seen, 2u);
}

TEST(AdaGradStep, PenaltyEntersTheStepNotTheAccumulator) {
  Optimizer o{adagrad({0.1, 0.5, 1e-8}, {0.0})};
  std::vector<double> w{2.0};
  double b = 0.0;
  ASSERT_TRUE(o.step(w, b, std::vector{1.0}, 0.0));
  EXPECT_EQ(bits(w), bits(std::vector{1.800000001}));
  EXPECT_EQ(std::get<AdaGrad>(o.variant).grad_sq_weights, std::vector{1.0});
}

using Rejection = StepRejection<AdaGrad>;

class AdaGradRejects : public ::testing::TestWithParam<Rejection> {};

TEST_P(AdaGradRejects, ChangesNothing) { expect_step_rejected(GetParam()); }

const AdaGradConfig kBase{0.1, 0.0, 1e-8};

INSTANTIATE_TEST_SUITE_P(
    Cases, AdaGradRejects,
    ::testing::Values(
        Rejection{"weights_vs_count", adagrad(kBase, {0.0, 0.0}), {1.0}, {1.0}, 0.0,
                  "dimension mismatch: expected 2, got 1"},
        Rejection{"gradient_length", adagrad(kBase, {0.0, 0.0}), {1.0, 1.0}, {1.0, 1.0, 1.0},
                  0.0, "dimension mismatch: expected 2, got 3"},
        Rejection{"grad_weight", adagrad(kBase, {0.0, 0.0}), {1.0, 1.0}, {-kInf, kNaN}, 0.0,
                  "non-finite value for `grad_weight`: -inf"},
        Rejection{"grad_intercept", adagrad(kBase, {0.0}, kMaxCount), {1.0}, {1.0}, kNaN,
                  "non-finite value for `grad_intercept`: NaN"},
        Rejection{"counter", adagrad(kBase, {0.0}, kMaxCount), {1.0}, {1.0}, 1.0,
                  "invalid model state: AdaGrad sample counter overflow"},
        // Accumulator counts that disagree with the weights are refused whole.
        Rejection{"fewer_accumulators", with_feature_count(adagrad(kBase, {0.0}), 3), {1.0, 1.0, 1.0},
                  {1.0, 1.0, 1.0}, 1.0, "dimension mismatch: expected 3, got 1"},
        Rejection{"no_accumulators", with_feature_count(adagrad(kBase, {}), 2), {1.0, 1.0}, {1.0, 1.0},
                  1.0, "dimension mismatch: expected 2, got 0"},
        Rejection{"more_accumulators", with_feature_count(adagrad(kBase, {0.0, 0.0, 0.0}), 1), {1.0},
                  {1.0}, 1.0, "dimension mismatch: expected 1, got 3"},
        Rejection{"squared_gradient", adagrad(kBase, {0.0, 0.0}), {1.0, 1.0}, {1.0, 1e200}, 0.0,
                  "non-finite value for `squared gradient`: inf"},
        Rejection{"accumulator", adagrad(kBase, {1.7e308}), {1.0}, {1e154}, 0.0,
                  "non-finite value for `AdaGrad accumulator`: inf"},
        Rejection{"negative_epsilon", adagrad({0.1, 0.0, -1.0}, {0.5}), {1.0}, {0.5}, 0.0,
                  "non-finite value for `AdaGrad scale`: NaN"},
        Rejection{"regularized", adagrad({0.1, 1e300, 0.0}, {0.0}), {1e10}, {1.0}, 0.0,
                  "non-finite value for `regularized gradient`: inf"},
        // eta / 0 is inf, and 0 * inf is NaN.
        Rejection{"zero_scale", adagrad({0.5, 0.0, 0.0}, {0.0, 0.0}), {1.0, 1.0}, {1.0, 0.0},
                  1.0, "non-finite value for `weight`: NaN"},
        Rejection{"squared_intercept_gradient", adagrad(kBase, {0.0}), {1.0}, {1.0}, 1e200,
                  "non-finite value for `squared intercept gradient`: inf"},
        Rejection{"intercept_scale", adagrad({0.1, 0.0, -2.0}, {3.0}), {1.0}, {1.0}, 0.5,
                  "non-finite value for `AdaGrad intercept scale`: NaN"},
        Rejection{"intercept", adagrad({0.1, 0.0, 0.0}, {1.0}), {1.0}, {1.0}, 0.0,
                  "non-finite value for `intercept`: NaN"}),
    [](const auto& info) { return info.param.name; });

TEST(AdaGradStep, InterceptAccumulatorOverflowIsNamed) {
  Optimizer o{AdaGrad{1, kBase, {0.0}, 1.7e308, 0}};
  std::vector<double> w{1.0};
  double b = 0.0;
  expect_rejected_unchanged(
      o, "non-finite value for `AdaGrad intercept accumulator`: inf",
      [&](Optimizer& x) { return x.step(w, b, std::vector{1.0}, 1e154); }, w, b);
}

}  // namespace
}  // namespace drel
