#include "linear/linear_regression.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "case_names.hpp"
#include "state_bits.hpp"
#include "test_support.hpp"

namespace drel {
namespace {

using namespace test;

class LinearWithSgd : public ::testing::TestWithParam<SgdConstruction> {};

TEST_P(LinearWithSgd, ReportsOptimizerErrorsFirst) {
  const auto& c = GetParam();
  EXPECT_EQ(error_text(LinearRegression::with_sgd(c.feature_count, c.learning_rate)), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LinearWithSgd,
    ::testing::Values(SgdConstruction{0, 0.1, "empty features are not allowed"},
                      SgdConstruction{0, kNaN, "empty features are not allowed"},
                      SgdConstruction{3, 0.0, "invalid learning rate: 0 (must be finite and > 0)"},
                      SgdConstruction{3, 0.1, "<no error>"}),
    named(describe_sgd_construction));

TEST(LinearCreate, CountsParametersOnMismatch) {
  EXPECT_EQ(error_text(LinearRegression::create(3, *Optimizer::sgd(5, 0.1, 0.0), {})),
            "dimension mismatch: expected 4, got 6");
  EXPECT_EQ(error_text(LinearRegression::create(0, *Optimizer::sgd(5, 0.1, 0.0), {})),
            "empty features are not allowed");
}

LinearRegression model_of(std::vector<double> weights, double intercept, Optimizer optimizer,
                          RegressionLoss loss = {}, std::uint64_t samples_seen = 0) {
  const std::uint64_t n = weights.size();
  return LinearRegression{n, std::move(weights), intercept, std::move(optimizer), loss,
                          samples_seen};
}

Optimizer sgd(std::uint64_t n, double learning_rate = 0.1, double l2 = 0.0) {
  return Optimizer{Sgd{n, {learning_rate, l2}, 0}};
}

TEST(Linear, FreshModelPredictsZero) {
  const auto m = *LinearRegression::with_sgd(2, 0.1);
  EXPECT_EQ(bits(*m.predict_one(std::vector{5.0, -7.0})), bits(0.0));
}

struct LearnCase {
  const char* name;
  LinearRegression model;
  std::vector<double> weights;
  double intercept;
  double prediction;  // for [1, 2] after learning
};

class LinearLearns : public ::testing::TestWithParam<LearnCase> {};

// One sample [1, 2] with target 3 from zero weights.
TEST_P(LinearLearns, OneSample) {
  auto m = GetParam().model;
  const std::vector x{1.0, 2.0};
  ASSERT_TRUE(m.learn_one(x, 3.0));
  EXPECT_EQ(bits(m.weights), bits(GetParam().weights));
  EXPECT_EQ(bits(m.intercept), bits(GetParam().intercept));
  EXPECT_EQ(m.samples_seen, 1u);
  EXPECT_EQ(bits(*m.predict_one(x)), bits(GetParam().prediction));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LinearLearns,
    ::testing::Values(
        LearnCase{"squared_error", *LinearRegression::with_sgd(2, 0.1),
                  {0.30000000000000004, 0.6000000000000001}, 0.30000000000000004,
                  1.8000000000000003},
        // The residual -3 is clipped to -1.
        LearnCase{"huber", model_of({0.0, 0.0}, 0.0, sgd(2), RegressionLoss{HuberLoss{1.0}}),
                  {0.1, 0.2}, 0.1, 0.6},
        // First AdaGrad step: every parameter moves by eta * g / |g|.
        LearnCase{"adagrad",
                  model_of({0.0, 0.0}, 0.0, Optimizer{AdaGrad{2, {0.5, 0.0, 0.0}, {0.0, 0.0}, 0.0, 0}}),
                  {0.5, 0.5}, 0.5, 2.0}),
    [](const auto& info) { return info.param.name; });

TEST(Linear, PenaltyShrinksWeightsNotIntercept) {
  auto m = model_of({1.0}, 1.0, sgd(1, 0.5, 0.5));
  ASSERT_TRUE(m.learn_one(std::vector{0.0}, 1.0));  // loss gradient 0
  EXPECT_EQ(m.weights, std::vector{0.75});
  EXPECT_EQ(m.intercept, 1.0);
}

using Rejection = LearnRejection<LinearRegression, double>;

class LinearRejects : public ::testing::TestWithParam<Rejection> {};

TEST_P(LinearRejects, ChangesNothing) { expect_learn_rejected(GetParam()); }

const LinearRegression kTwo = model_of({0.5, -0.0}, -0.0, sgd(2));

INSTANTIATE_TEST_SUITE_P(
    Cases, LinearRejects,
    ::testing::Values(
        Rejection{"empty_before_target", kTwo, {}, kNaN, "empty features are not allowed"},
        Rejection{"short", kTwo, {1.0}, 0.0, "dimension mismatch: expected 2, got 1"},
        Rejection{"nan_feature", kTwo, {1.0, kNaN}, kNaN, "non-finite value for `feature`: NaN"},
        Rejection{"target", kTwo, {1.0, 2.0}, kInf, "non-finite value for `target`: inf"},
        // The counter is checked before the prediction, which would overflow.
        Rejection{"counter", with_samples(model_of({1e308}, 0.0, sgd(1)), kMaxCount), {10.0},
                  0.0, "invalid model state: linear regression sample counter overflow"},
        Rejection{"term", model_of({1e308}, 0.0, sgd(1)), {10.0}, 0.0,
                  "non-finite value for `linear prediction term`: inf"},
        Rejection{"sum", model_of({1e308, 1e308}, 0.0, sgd(2)), {1.0, 1.0}, 0.0,
                  "non-finite value for `linear prediction`: inf"},
        Rejection{"intercept_sum", model_of({1e308}, 1e308, sgd(1)), {1.0}, 0.0,
                  "non-finite value for `linear prediction`: inf"},
        Rejection{"squared_gradient", model_of({1.0}, 0.0, sgd(1)), {1e308}, -1e308,
                  "non-finite value for `loss gradient`: inf"},
        Rejection{"huber_nan_delta",
                  model_of({1.0}, 0.0, sgd(1), RegressionLoss{HuberLoss{kNaN}}), {1.0}, 0.0,
                  "non-finite value for `loss gradient`: NaN"},
        Rejection{"weight_gradient", model_of({0.0, 0.0}, 0.0, sgd(2)), {1.0, 1e300}, -1e10,
                  "non-finite value for `weight gradient`: inf"},
        Rejection{"optimizer_weight", model_of({1e308}, 0.0, sgd(1, 10.0)), {1.0}, -1e307,
                  "non-finite value for `weight`: -inf"},
        // States only a snapshot produces: the optimizer step reports the disagreement.
        Rejection{"fewer_weights", with_feature_count(model_of({1.0, 1.0}, 0.0, sgd(3)), 3),
                  {1.0, 1.0, 1.0}, 0.0, "dimension mismatch: expected 3, got 2"},
        Rejection{"more_weights", with_feature_count(model_of({1, 1, 1, 1}, 0.0, sgd(3)), 3),
                  {1.0, 1.0, 1.0}, 0.0, "dimension mismatch: expected 3, got 4"},
        Rejection{"optimizer_count", model_of({1.0, 1.0, 1.0}, 0.0, sgd(2)), {1.0, 1.0, 1.0},
                  0.0, "dimension mismatch: expected 2, got 3"},
        Rejection{"optimizer_matches_weights",
                  with_feature_count(model_of({1.0, 1.0}, 0.0, sgd(2)), 3), {1.0, 1.0, 1.0}, 0.0,
                  "dimension mismatch: expected 2, got 3"},
        Rejection{"adagrad_accumulators",
                  model_of({1.0, 1.0}, 0.0, Optimizer{AdaGrad{2, {0.1, 0.0, 1e-8}, {0.0}, 0.0, 0}}),
                  {1.0, 1.0}, 0.0, "dimension mismatch: expected 2, got 1"}),
    [](const auto& info) { return info.param.name; });

struct MismatchedPrediction {
  std::vector<double> weights;
  std::uint64_t feature_count;
  std::vector<double> x;
  double expected;
};

class LinearPredictsOverShorter : public ::testing::TestWithParam<MismatchedPrediction> {};

TEST_P(LinearPredictsOverShorter, WhenWeightsDisagree) {
  const auto& c = GetParam();
  auto m = with_feature_count(model_of(c.weights, 0.5, sgd(c.feature_count)), c.feature_count);
  EXPECT_EQ(bits(*m.predict_one(c.x)), bits(c.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LinearPredictsOverShorter,
    ::testing::Values(MismatchedPrediction{{2.0}, 3, {1.0, 10.0, 100.0}, 2.5},
                      MismatchedPrediction{{2.0, 3.0, 4.0}, 2, {1.0, 10.0}, 32.5},
                      MismatchedPrediction{{}, 2, {1.0, 10.0}, 0.5}),
    named([](const MismatchedPrediction& c) {
      return words(c.weights.size(), "weights", c.feature_count, "features");
    }));

TEST(Linear, PredictsAtCounterLimitAndAfterRejection) {
  auto m = with_samples(model_of({1e308}, 0.0, sgd(1, 10.0)), kMaxCount - 1);
  ASSERT_FALSE(m.learn_one(std::vector{1.0}, -1e307));
  EXPECT_EQ(*m.predict_one(std::vector{1.0}), 1e308);
  m.weights = {2.0};
  ASSERT_TRUE(m.learn_one(std::vector{1.0}, 2.0));
  EXPECT_EQ(m.samples_seen, kMaxCount);
  EXPECT_FALSE(m.learn_one(std::vector{1.0}, 2.0));
  EXPECT_EQ(*m.predict_one(std::vector{1.0}), 2.0);
}

}  // namespace
}  // namespace drel
