#include "optim/sgd.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "case_names.hpp"
#include "optim/optimizer.hpp"
#include "state_bits.hpp"
#include "test_support.hpp"

namespace drel {
namespace {

using namespace test;

struct CreateCase {
  std::uint64_t feature_count;
  double learning_rate;
  double l2;
  const char* message;
};

class SgdCreate : public ::testing::TestWithParam<CreateCase> {};

TEST_P(SgdCreate, ChecksCountThenFinitenessThenRanges) {
  const auto& c = GetParam();
  EXPECT_EQ(error_text(Optimizer::sgd(c.feature_count, c.learning_rate, c.l2)), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SgdCreate,
    ::testing::Values(
        CreateCase{0, kNaN, 0.0, "empty features are not allowed"},
        CreateCase{3, 0.0, 0.0, "invalid learning rate: 0 (must be finite and > 0)"},
        CreateCase{3, -1.0, 0.0, "invalid learning rate: -1 (must be finite and > 0)"},
        CreateCase{3, kInf, 0.0, "non-finite value for `learning_rate`: inf"},
        CreateCase{3, -1.0, kNaN, "non-finite value for `l2`: NaN"},
        CreateCase{3, -1.0, -0.5, "invalid learning rate: -1 (must be finite and > 0)"},
        CreateCase{3, 0.1, -0.5, "invalid parameter `l2`: -0.5"},
        CreateCase{3, 0.1, -0.0, "<no error>"}),
    named([](const CreateCase& c) {
      return words("features", c.feature_count, "rate", c.learning_rate, "l2", c.l2);
    }));

TEST(SgdCreate, StartsAtZeroSteps) {
  const auto o = *Optimizer::sgd(4, 0.25, 0.5);
  const auto& sgd = std::get<Sgd>(o.variant);
  EXPECT_EQ(sgd.feature_count, 4u);
  EXPECT_EQ(o.feature_count(), 4u);
  EXPECT_EQ(sgd.config.learning_rate, 0.25);
  EXPECT_EQ(sgd.config.l2, 0.5);
  EXPECT_EQ(sgd.samples_seen, 0u);
}

struct StepCase {
  double l2;
  std::vector<double> weights;
  double intercept;
};

class SgdStep : public ::testing::TestWithParam<StepCase> {};

TEST_P(SgdStep, MovesAgainstTheGradient) {
  Optimizer o{Sgd{2, {0.1, GetParam().l2}, 7}};
  std::vector<double> w{1.0, -2.0};
  double b = 0.5;
  ASSERT_TRUE(o.step(w, b, std::vector{0.5, 0.25}, 1.0));
  EXPECT_EQ(bits(w), bits(GetParam().weights));
  EXPECT_EQ(bits(b), bits(GetParam().intercept));
  EXPECT_EQ(std::get<Sgd>(o.variant).samples_seen, 8u);
}

INSTANTIATE_TEST_SUITE_P(Cases, SgdStep,
                         ::testing::Values(StepCase{0.0, {0.95, -2.025}, 0.4},
                                           StepCase{0.5, {0.9, -1.925}, 0.4}),
                         named([](const StepCase& c) { return words("l2", c.l2); }));

using Rejection = StepRejection<Sgd>;

class SgdRejects : public ::testing::TestWithParam<Rejection> {};

TEST_P(SgdRejects, ChangesNothing) { expect_step_rejected(GetParam()); }

const SgdConfig kPlain{0.1, 0.0};

INSTANTIATE_TEST_SUITE_P(
    Cases, SgdRejects,
    ::testing::Values(
        Rejection{"weights_vs_count", {2, kPlain, 0}, {1.0, 2.0, 3.0}, {kNaN}, kNaN,
                  "dimension mismatch: expected 2, got 3"},
        Rejection{"gradient_length", {3, kPlain, 0}, {1.0, 2.0, 3.0}, {1.0, kNaN}, 0.0,
                  "dimension mismatch: expected 3, got 2"},
        Rejection{"first_nonfinite_gradient", {3, kPlain, kMaxCount}, {0, 0, 0},
                  {1.0, kNaN, kInf}, kNaN, "non-finite value for `grad_weight`: NaN"},
        Rejection{"intercept_gradient", {1, kPlain, kMaxCount}, {0.0}, {1.0}, -kInf,
                  "non-finite value for `grad_intercept`: -inf"},
        Rejection{"counter", {1, kPlain, kMaxCount}, {0.0}, {1.0}, 1.0,
                  "invalid model state: SGD sample counter overflow"},
        Rejection{"regularized", {1, {0.1, 1e300}, 0}, {1e10}, {1.0}, 1.0,
                  "non-finite value for `regularized gradient`: inf"},
        Rejection{"weight", {1, {10.0, 0.0}, 0}, {1e308}, {-1e308}, 0.0,
                  "non-finite value for `weight`: inf"},
        // The weights are computed before the intercept.
        Rejection{"weight_before_intercept", {2, {10.0, 0.0}, 0}, {0.0, 1e308}, {0.0, -1e308},
                  1e308, "non-finite value for `weight`: inf"},
        Rejection{"intercept", {1, {10.0, 0.0}, 0}, {0.0}, {0.0}, 1e308,
                  "non-finite value for `intercept`: -inf"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace drel
