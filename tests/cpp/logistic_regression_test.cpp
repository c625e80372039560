#include "linear/logistic_regression.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "case_names.hpp"
#include "state_bits.hpp"
#include "test_support.hpp"

namespace drel {
namespace {

using namespace test;

struct LogisticCase {
  double z;
  double p;
};

class Logistic : public ::testing::TestWithParam<LogisticCase> {};

TEST_P(Logistic, TwoBranchForm) { EXPECT_EQ(bits(logistic(GetParam().z)), bits(GetParam().p)); }

INSTANTIATE_TEST_SUITE_P(Cases, Logistic,
                         ::testing::Values(LogisticCase{0.0, 0.5}, LogisticCase{-0.0, 0.5},
                                           LogisticCase{0.3, 0.574442516811659},
                                           LogisticCase{-2.0, 0.11920292202211755},
                                           LogisticCase{2.0, 0.8807970779778823},
                                           LogisticCase{-40.0, 4.248354255291589e-18},
                                           LogisticCase{37.0, 1.0}, LogisticCase{-746.0, 0.0},
                                           LogisticCase{1.7e308, 1.0},
                                           LogisticCase{-1.7e308, 0.0}),
                         named([](const LogisticCase& c) { return words("logit", c.z); }));

class LogisticWithSgd : public ::testing::TestWithParam<SgdConstruction> {};

TEST_P(LogisticWithSgd, ReportsOptimizerErrorsFirst) {
  const auto& c = GetParam();
  EXPECT_EQ(error_text(LogisticRegression::with_sgd(c.feature_count, c.learning_rate)),
            c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LogisticWithSgd,
    ::testing::Values(SgdConstruction{0, -0.5, "empty features are not allowed"},
                      SgdConstruction{2, -0.5,
                                      "invalid learning rate: -0.5 (must be finite and > 0)"},
                      SgdConstruction{2, 0.1, "<no error>"}),
    named(describe_sgd_construction));

TEST(LogisticCreate, CountsParametersOnMismatch) {
  EXPECT_EQ(error_text(LogisticRegression::create(1, *Optimizer::sgd(2, 0.1, 0.0), {})),
            "dimension mismatch: expected 2, got 3");
  const auto m = *LogisticRegression::with_sgd(2, 0.1);
  EXPECT_EQ(bits(m.loss.epsilon), bits(1e-15));
}

TEST(Logistic, FreshModelIsUndecided) {
  const auto m = *LogisticRegression::with_sgd(2, 0.1);
  EXPECT_EQ(*m.predict_proba_one(std::vector{3.0, -1.0}), 0.5);
  EXPECT_TRUE(*m.predict_one(std::vector{3.0, -1.0}));
}

class LogisticLearns : public ::testing::TestWithParam<double> {};

// The stored epsilon plays no part in learning.
TEST_P(LogisticLearns, OnePositiveSample) {
  auto m = *LogisticRegression::with_sgd(2, 0.1);
  m.loss.epsilon = GetParam();
  const std::vector x{1.0, 2.0};
  ASSERT_TRUE(m.learn_one(x, true));
  EXPECT_EQ(bits(m.weights), bits(std::vector{0.05, 0.1}));
  EXPECT_EQ(bits(m.intercept), bits(0.05));
  EXPECT_EQ(m.samples_seen, 1u);
  EXPECT_EQ(bits(*m.predict_proba_one(x)), bits(0.574442516811659));
  EXPECT_TRUE(*m.predict_one(x));
  EXPECT_FALSE(*m.predict_one(std::vector{-1.0, -2.0}));
}

INSTANTIATE_TEST_SUITE_P(Epsilons, LogisticLearns, ::testing::Values(1e-15, 0.5),
                         named([](double epsilon) { return words("epsilon", epsilon); }));

LogisticRegression model_of(std::vector<double> weights, double intercept,
                            double learning_rate = 0.1, std::uint64_t samples_seen = 0) {
  const std::uint64_t n = weights.size();
  return LogisticRegression{n, std::move(weights), intercept,
                            Optimizer{Sgd{n, {learning_rate, 0.0}, 0}}, BinaryLogLoss{},
                            samples_seen};
}

TEST(Logistic, SaturatedCorrectSampleStillCounts) {
  auto m = model_of({37.0}, 0.0);
  ASSERT_TRUE(m.learn_one(std::vector{1.0}, true));
  EXPECT_EQ(m.weights, std::vector{37.0});
  EXPECT_EQ(bits(m.intercept), bits(0.0));
  EXPECT_EQ(m.samples_seen, 1u);
}

using Rejection = LearnRejection<LogisticRegression, bool>;

class LogisticRejects : public ::testing::TestWithParam<Rejection> {};

TEST_P(LogisticRejects, ChangesNothing) { expect_learn_rejected(GetParam()); }

INSTANTIATE_TEST_SUITE_P(
    Cases, LogisticRejects,
    ::testing::Values(
        Rejection{"empty", model_of({1.0}, 0.0), {}, true, "empty features are not allowed"},
        Rejection{"nan_feature", model_of({1.0, 1.0}, 0.0), {kInf, kNaN}, true,
                  "non-finite value for `feature`: inf"},
        Rejection{"counter_before_logit", model_of({1e308}, 0.0, 0.1, kMaxCount), {10.0}, true,
                  "invalid model state: logistic regression sample counter overflow"},
        Rejection{"term", model_of({1e308}, 0.0), {10.0}, false,
                  "non-finite value for `logit term`: inf"},
        Rejection{"sum", model_of({-1e308, -1e308}, -0.0), {1.0, 1.0}, false,
                  "non-finite value for `logit`: -inf"},
        Rejection{"intercept_sum", model_of({1e308}, 1e308), {1.0}, false,
                  "non-finite value for `logit`: inf"},
        // Logit 0, loss gradient 0.5: the step of 0.5 * 1e308 overflows the weight.
        Rejection{"optimizer_weight", model_of({-1.7e308}, 1.7e308, 1e308), {1.0}, false,
                  "non-finite value for `weight`: -inf"},
        Rejection{"fewer_weights", with_feature_count(model_of({1.0}, 0.0), 2), {1.0, 1.0}, true,
                  "dimension mismatch: expected 1, got 2"}),
    [](const auto& info) { return info.param.name; });

TEST(Logistic, PredictsAtCounterLimitAndOverShorterWeights) {
  auto m = with_feature_count(model_of({2.0}, 0.0, 0.1, kMaxCount), 3);
  ASSERT_FALSE(m.learn_one(std::vector{1.0, 5.0, 5.0}, true));
  EXPECT_EQ(*m.predict_proba_one(std::vector{1.0, 5.0, 5.0}), 0.8807970779778823);
  EXPECT_TRUE(*m.predict_one(std::vector{1.0, 5.0, 5.0}));
}

}  // namespace
}  // namespace drel
