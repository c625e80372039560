#include "config/builders.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "case_names.hpp"
#include "config/settings.hpp"
#include "snapshot/snapshot.hpp"
#include "test_support.hpp"

namespace drel {
namespace {

using namespace test;

constexpr std::size_t kSgd = optimizer_kind<Sgd>;
constexpr std::size_t kAdaGrad = optimizer_kind<AdaGrad>;

struct AdaGradCase {
  std::uint64_t feature_count;
  AdaGradConfig config;
  const char* message;
};

class AdaGradCreate : public ::testing::TestWithParam<AdaGradCase> {};

TEST_P(AdaGradCreate, ChecksCountThenFinitenessThenRanges) {
  const auto& c = GetParam();
  EXPECT_EQ(error_text(make_optimizer<AdaGrad>(c.feature_count, c.config)), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AdaGradCreate,
    ::testing::Values(
        AdaGradCase{0, {kNaN, kNaN, kNaN}, "empty features are not allowed"},
        AdaGradCase{2, {kInf, -1.0, -1.0}, "non-finite value for `learning_rate`: inf"},
        AdaGradCase{2, {-1.0, kNaN, -1.0}, "non-finite value for `l2`: NaN"},
        AdaGradCase{2, {-1.0, -1.0, -kInf}, "non-finite value for `epsilon`: -inf"},
        AdaGradCase{2, {0.0, -1.0, -1.0}, "invalid learning rate: 0 (must be finite and > 0)"},
        AdaGradCase{2, {0.1, -0.5, -1.0}, "invalid parameter `l2`: -0.5"},
        AdaGradCase{2, {0.1, 0.0, -1e-9}, "invalid parameter `epsilon`: -0.000000001"},
        AdaGradCase{2, {0.1, -0.0, -0.0}, "<no error>"},
        AdaGradCase{2, {0.1, 0.0, 0.0}, "<no error>"}),
    named([](const AdaGradCase& c) {
      return words("features", c.feature_count, "rate", c.config.learning_rate, "l2", c.config.l2,
                   "epsilon", c.config.epsilon);
    }));

TEST(AdaGradCreate, StartsWithZeroAccumulatorsAndNoSteps) {
  auto optimizer = make_optimizer<AdaGrad>(3, {0.5, 0.25, 1e-6});
  ASSERT_TRUE(optimizer);
  const auto& a = std::get<AdaGrad>(optimizer->variant);
  EXPECT_EQ(a.feature_count, 3u);
  EXPECT_EQ(bits(a.grad_sq_weights), bits(std::vector<double>(3, 0.0)));
  EXPECT_EQ(bits(a.grad_sq_intercept), bits(0.0));
  EXPECT_EQ(a.samples_seen, 0u);
  EXPECT_EQ(bits(a.config.learning_rate), bits(0.5));
  EXPECT_EQ(bits(a.config.l2), bits(0.25));
  EXPECT_EQ(bits(a.config.epsilon), bits(1e-6));
}

struct HuberCase {
  double delta;
  const char* message;
};

class HuberCreate : public ::testing::TestWithParam<HuberCase> {};

TEST_P(HuberCreate, DeltaFiniteThenNotNegative) {
  EXPECT_EQ(error_text(huber_loss(GetParam().delta)), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(Cases, HuberCreate,
                         ::testing::Values(HuberCase{kNaN, "non-finite value for `delta`: NaN"},
                                           HuberCase{kInf, "non-finite value for `delta`: inf"},
                                           HuberCase{-0.5, "invalid parameter `delta`: -0.5"},
                                           HuberCase{-0.0, "<no error>"},
                                           HuberCase{1.35, "<no error>"}),
                         named([](const HuberCase& c) { return words("delta", c.delta); }));

// Settings that do not apply to the chosen variant are not looked at.
TEST(Settings, InapplicableSettingsAreIgnored) {
  EXPECT_TRUE(make_optimizer(2, {kSgd, {0.1, 0.0, kNaN}}));
  EXPECT_TRUE(make_regression_loss({RegressionLossKind::SquaredError, kNaN}));
}

// The settings are every optimizer's, each once, under the keyword the factories
// take; a setting only some optimizers have names its first owner.
TEST(Settings, TableNamesEachSettingOnceWithItsDefault) {
  ASSERT_EQ(kOptimizerSettingCount, 3u);
  EXPECT_EQ(kOptimizerSettings[0].keyword.view(), "learning_rate");
  EXPECT_EQ(kOptimizerSettings[1].keyword.view(), "l2");
  EXPECT_EQ(kOptimizerSettings[2].keyword.view(), "adagrad_epsilon");
  EXPECT_EQ(kOptimizerSettings[2].key, "epsilon");
  EXPECT_EQ(bits(kOptimizerSettings[2].default_value), bits(1e-8));
  EXPECT_EQ(optimizer_kind_named("adagrad"), kAdaGrad);
  EXPECT_EQ(optimizer_kind_named("adam"), std::nullopt);
}

TEST(Settings, UnknownKindIsRefused) {
  EXPECT_EQ(error_text(make_optimizer(2, {kOptimizerCount, {0.1, 0.0, 0.0}})),
            "invalid parameter `optimizer`: 2");
}

// The defaults build exactly what the Python constructors build.
TEST(Builders, DefaultsMatchTheSgdConstructors) {
  const OptimizerSettings sgd{kSgd, {0.01, 0.0, 1e-8}};
  EXPECT_EQ(to_snapshot_json(*make_linear_regression(2, sgd, {})),
            to_snapshot_json(*LinearRegression::with_sgd(2, 0.01)));
  EXPECT_EQ(to_snapshot_json(*make_logistic_regression(2, sgd)),
            to_snapshot_json(*LogisticRegression::with_sgd(2, 0.01)));
  EXPECT_EQ(to_snapshot_json(*make_regression_pipeline(2, {}, sgd, {})),
            to_snapshot_json(*RegressionPipeline::with_sgd(2, 0.01)));
  EXPECT_EQ(to_snapshot_json(*make_classification_pipeline(2, {}, sgd)),
            to_snapshot_json(*ClassificationPipeline::with_sgd(2, 0.01)));
}

TEST(Builders, WriteTheChosenConfiguration) {
  const OptimizerSettings adagrad{kAdaGrad, {0.5, 0.25, 1e-6}};
  auto model = make_linear_regression(1, adagrad, {RegressionLossKind::Huber, 1.35});
  ASSERT_TRUE(model);
  EXPECT_EQ(to_snapshot_json(*model),
            "{\"format_version\":1,\"model\":{\"feature_count\":1,\"weights\":[0.0],"
            "\"intercept\":0.0,\"optimizer\":{\"AdaGrad\":{\"feature_count\":1,\"config\":{"
            "\"learning_rate\":0.5,\"l2\":0.25,\"epsilon\":1e-6},\"grad_sq_weights\":[0.0],"
            "\"grad_sq_intercept\":0.0,\"samples_seen\":0}},\"loss\":{\"Huber\":{\"delta\":1.35}},"
            "\"samples_seen\":0}}");
  auto pipeline = make_classification_pipeline(1, {false, true, 0.5}, adagrad);
  ASSERT_TRUE(pipeline);
  EXPECT_FALSE(pipeline->transformer.config.with_mean);
  EXPECT_EQ(bits(pipeline->transformer.config.epsilon), bits(0.5));
  EXPECT_TRUE(std::holds_alternative<AdaGrad>(pipeline->model.optimizer.variant));
  EXPECT_EQ(bits(pipeline->model.loss.epsilon), bits(1e-15));
}

// Which stage reports first: the scaler, then the optimizer, then the loss.
TEST(Builders, ReportTheFirstFailingStage) {
  const OptimizerSettings bad_rate{kAdaGrad, {0.0, 0.0, 1e-8}};
  const RegressionLossSettings bad_delta{RegressionLossKind::Huber, -1.0};
  EXPECT_EQ(error_text(make_regression_pipeline(0, {true, true, -1.0}, bad_rate, bad_delta)),
            "empty features are not allowed");
  EXPECT_EQ(error_text(make_regression_pipeline(2, {true, true, -1.0}, bad_rate, bad_delta)),
            "invalid parameter `epsilon`: -1");
  EXPECT_EQ(error_text(make_regression_pipeline(2, {}, bad_rate, bad_delta)),
            "invalid learning rate: 0 (must be finite and > 0)");
  EXPECT_EQ(error_text(make_linear_regression(2, {}, bad_delta)), "invalid parameter `delta`: -1");
  EXPECT_EQ(error_text(make_logistic_regression(0, bad_rate)), "empty features are not allowed");
}

// An AdaGrad model built here learns exactly as one loaded from its snapshot.
TEST(Builders, AdaGradModelLearnsLikeItsSnapshot) {
  auto built = make_linear_regression(2, {kAdaGrad, {0.5, 0.0, 0.0}},
                                      {RegressionLossKind::Huber, 1.0});
  ASSERT_TRUE(built);
  auto loaded = load_snapshot<LinearRegression>(to_snapshot_json(*built));
  ASSERT_TRUE(loaded);
  for (int i = 0; i < 3; ++i) {
    const std::vector<double> x{1.0 + i, -2.0};
    ASSERT_TRUE(built->learn_one(x, 3.0));
    ASSERT_TRUE(loaded->learn_one(x, 3.0));
  }
  EXPECT_EQ(to_snapshot_json(*built), to_snapshot_json(*loaded));
  EXPECT_EQ(std::get<AdaGrad>(built->optimizer.variant).samples_seen, 3u);
}

}  // namespace
}  // namespace drel
