#include "pipeline/pipeline.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "case_names.hpp"
#include "state_bits.hpp"
#include "test_support.hpp"

namespace drel {
namespace {

using namespace test;

class PipelineWithSgd : public ::testing::TestWithParam<SgdConstruction> {};

TEST_P(PipelineWithSgd, ScalerReportsTheCountFirst) {
  const auto& c = GetParam();
  EXPECT_EQ(error_text(RegressionPipeline::with_sgd(c.feature_count, c.learning_rate)), c.message);
  EXPECT_EQ(error_text(ClassificationPipeline::with_sgd(c.feature_count, c.learning_rate)),
            c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PipelineWithSgd,
    ::testing::Values(SgdConstruction{0, kNaN, "empty features are not allowed"},
                      SgdConstruction{3, 0.0, "invalid learning rate: 0 (must be finite and > 0)"},
                      SgdConstruction{3, 0.1, "<no error>"}),
    named(describe_sgd_construction));

TEST(PipelineCreate, StagesMustAgree) {
  EXPECT_EQ(error_text(RegressionPipeline::create(*StandardScaler::create(2),
                                                  *LinearRegression::with_sgd(3, 0.1))),
            "dimension mismatch: expected 3, got 2");
  EXPECT_EQ(error_text(ClassificationPipeline::create(*StandardScaler::create(4),
                                                      *LogisticRegression::with_sgd(1, 0.1))),
            "dimension mismatch: expected 1, got 4");
}

TEST(RegressionPipeline, FirstSampleMovesOnlyTheIntercept) {
  auto p = *RegressionPipeline::with_sgd(2, 0.1);
  const std::vector x{1.0, 2.0};
  ASSERT_TRUE(p.learn_one(x, 3.0));
  EXPECT_EQ(p.transformer.counts, (std::vector<std::uint64_t>{1, 1}));
  EXPECT_EQ(p.transformer.means, x);
  EXPECT_EQ(bits(p.model.weights), bits(std::vector{0.0, 0.0}));
  EXPECT_EQ(bits(p.model.intercept), bits(0.30000000000000004));
  EXPECT_EQ(p.model.samples_seen, 1u);
  EXPECT_EQ(p.samples_seen(), 1u);
  // Predictions leave the scaler as it is.
  const auto before = state_bits(p.transformer, p.model);
  EXPECT_EQ(bits(*p.predict_one(x)), bits(0.30000000000000004));
  EXPECT_EQ(bits(*p.predict_one(x)), bits(0.30000000000000004));
  EXPECT_EQ(state_bits(p.transformer, p.model), before);
}

TEST(ClassificationPipeline, FirstPositiveSample) {
  auto p = *ClassificationPipeline::with_sgd(2, 0.1);
  const std::vector x{1.0, 2.0};
  EXPECT_EQ(*p.predict_proba_one(std::vector{-5.0, 9.0}), 0.5);
  EXPECT_TRUE(*p.predict_one(std::vector{-5.0, 9.0}));
  ASSERT_TRUE(p.learn_one(x, true));
  EXPECT_EQ(bits(p.model.intercept), bits(0.05));
  EXPECT_EQ(bits(*p.predict_proba_one(x)), bits(0.5124973964842103));
  EXPECT_TRUE(*p.predict_one(x));
}

// A rejection before the scaler commits leaves both stages alone; one after it
// keeps the sample in the scaler's statistics and leaves the model alone.
struct Rejection {
  const char* name;
  RegressionPipeline pipeline;
  std::vector<double> x;
  double y;
  const char* message;
  std::uint64_t scaler_count_after;
};

class RegressionPipelineRejects : public ::testing::TestWithParam<Rejection> {};

TEST_P(RegressionPipelineRejects, CommitsStageByStage) {
  const auto& c = GetParam();
  auto p = c.pipeline;
  const auto model_before = state_bits(p.model);
  const auto scaler_before = state_bits(p.transformer);
  EXPECT_EQ(error_text(p.learn_one(c.x, c.y)), c.message);
  EXPECT_EQ(state_bits(p.model), model_before);
  EXPECT_EQ(p.transformer.samples_seen(), c.scaler_count_after);
  if (c.scaler_count_after == c.pipeline.samples_seen()) {
    EXPECT_EQ(state_bits(p.transformer), scaler_before);
  }
}

RegressionPipeline fresh(std::uint64_t n) { return *RegressionPipeline::with_sgd(n, 0.1); }

RegressionPipeline with_model_samples(RegressionPipeline p, std::uint64_t samples_seen) {
  p.model = with_samples(std::move(p.model), samples_seen);
  return p;
}

// Counts 1, mean 2, epsilon 0: a second sample of 2 has variance 0 and scale 0.
RegressionPipeline zero_floor() {
  auto p = fresh(1);
  p.transformer = StandardScaler{1, {true, true, 0.0}, {1}, {2.0}, {0.0}};
  return p;
}

// Only a snapshot builds a pipeline whose stages disagree.
RegressionPipeline mismatched() {
  return RegressionPipeline{*StandardScaler::create(2), *LinearRegression::with_sgd(3, 0.1)};
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RegressionPipelineRejects,
    ::testing::Values(
        Rejection{"target_first", fresh(2), {}, kNaN, "non-finite value for `target`: NaN", 0},
        Rejection{"empty", fresh(2), {}, 0.0, "empty features are not allowed", 0},
        Rejection{"scaler_count", fresh(3), {1.0, 2.0}, 0.0,
                  "dimension mismatch: expected 3, got 2", 0},
        Rejection{"nan_feature", fresh(2), {kNaN, 1.0}, 0.0, "non-finite value for `feature`: NaN",
                  0},
        Rejection{"transform", zero_floor(), {2.0}, 0.0,
                  "non-finite value for `transformed feature`: NaN", 2},
        Rejection{"model_counter", with_model_samples(fresh(2), kMaxCount), {1.0, 2.0}, 0.0,
                  "invalid model state: linear regression sample counter overflow", 1},
        Rejection{"stages_disagree", mismatched(), {1.0, 2.0}, 0.0,
                  "dimension mismatch: expected 3, got 2", 1}),
    [](const auto& info) { return info.param.name; });

TEST(ClassificationPipeline, ModelRejectionKeepsScalerSample) {
  auto p = *ClassificationPipeline::with_sgd(1, 0.1);
  p.model.samples_seen = kMaxCount;
  expect_rejected_unchanged(
      p.model, "invalid model state: logistic regression sample counter overflow",
      [&](LogisticRegression&) { return p.learn_one(std::vector{4.0}, false); });
  EXPECT_EQ(p.transformer.means, std::vector{4.0});
  EXPECT_EQ(p.samples_seen(), 1u);
}

TEST(Pipelines, PredictionOnDisagreeingStagesIsRejected) {
  const auto p = mismatched();
  EXPECT_EQ(error_text(p.predict_one(std::vector{1.0, 2.0})),
            "dimension mismatch: expected 3, got 2");
}

}  // namespace
}  // namespace drel
