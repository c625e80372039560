#include "merge/merge.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "state_bits.hpp"
#include "test_support.hpp"

namespace drel {
namespace {

using namespace test;

// |a - b| in units of the last place of the larger magnitude.
double ulps_apart(double a, double b) {
  const double scale = std::max(std::fabs(a), std::fabs(b));
  if (scale == 0.0) return 0.0;
  return std::fabs(a - b) / (std::nextafter(scale, kInf) - scale);
}

// The one-stream result is itself a walk of 1000 roundings, off the exact value
// by up to a dozen ulps or so; a merge lands within that walk, not on its end.
constexpr double kFewUlps = 32.0;

std::vector<double> random_stream(std::size_t n, std::uint32_t seed) {
  std::mt19937_64 gen(seed);
  std::normal_distribution<double> dist(3.0, 2.0);
  std::vector<double> xs(n);
  for (double& x : xs) x = dist(gen);
  return xs;
}

template <class Stat>
Stat fed(Stat s, const std::vector<double>& xs, std::size_t from, std::size_t to) {
  for (std::size_t i = from; i < to; ++i) EXPECT_TRUE(s.update(xs[i]));
  return s;
}

StateBits mean_bits(const Mean& m) { return state_bits(m.count, m.mean); }

// Where a stream of 1000 values is cut: empty sides, single values, uneven and even parts.
class SplitStream : public ::testing::TestWithParam<std::size_t> {};

TEST_P(SplitStream, StatisticsMergeAsOneStream) {
  const auto xs = random_stream(1000, 7);
  const std::size_t cut = GetParam();
  const Mean mean = *merge(fed(Mean{}, xs, 0, cut), fed(Mean{}, xs, cut, xs.size()));
  const Mean whole_mean = fed(Mean{}, xs, 0, xs.size());
  EXPECT_EQ(mean.count, whole_mean.count);
  EXPECT_LE(ulps_apart(mean.mean, whole_mean.mean), kFewUlps);

  for (VarianceKind kind : {VarianceKind::Population, VarianceKind::Sample}) {
    const auto empty = Variance::create(kind);
    const Variance v = *merge(fed(empty, xs, 0, cut), fed(empty, xs, cut, xs.size()));
    const Variance whole = fed(empty, xs, 0, xs.size());
    EXPECT_EQ(v.count, whole.count);
    EXPECT_EQ(v.kind, kind);
    EXPECT_LE(ulps_apart(v.mean, whole.mean), kFewUlps);
    EXPECT_LE(ulps_apart(v.m2, whole.m2), kFewUlps);
  }
}

TEST_P(SplitStream, ScalerMergesPerFeature) {
  const auto xs = random_stream(3000, 11);
  const std::size_t cut = GetParam();
  auto fit = [&xs](std::size_t from, std::size_t to) {
    auto s = *StandardScaler::create(3);
    for (std::size_t i = from; i < to; ++i)
      EXPECT_TRUE(s.fit_one(std::span<const double>(xs).subspan(3 * i, 3)));
    return s;
  };
  const auto merged = *merge(fit(0, cut), fit(cut, 1000));
  const auto whole = fit(0, 1000);
  EXPECT_EQ(merged.counts, whole.counts);
  for (std::size_t f = 0; f < 3; ++f) {
    EXPECT_LE(ulps_apart(merged.means[f], whole.means[f]), kFewUlps);
    EXPECT_LE(ulps_apart(merged.m2s[f], whole.m2s[f]), kFewUlps);
  }
  EXPECT_TRUE(merged.validate());
}

TEST_P(SplitStream, StatisticsFromACommonStartCountItOnce) {
  const auto xs = random_stream(1000, 3);
  const std::size_t cut = GetParam();
  const std::size_t begin = cut / 2;  // the start saw [0, begin)
  const Variance start = fed(Variance::create(VarianceKind::Sample), xs, 0, begin);
  const Variance merged = *merge_from(start, fed(start, xs, begin, cut), fed(start, xs, cut, 1000));
  const Variance whole = fed(start, xs, begin, 1000);
  EXPECT_EQ(merged.count, whole.count);
  EXPECT_LE(ulps_apart(merged.mean, whole.mean), kFewUlps);
  EXPECT_LE(ulps_apart(merged.m2, whole.m2), 64.0);  // M2 loses a little taking the start out

  const Mean mean_start = fed(Mean{}, xs, 0, begin);
  const Mean mean =
      *merge_from(mean_start, fed(mean_start, xs, begin, cut), fed(mean_start, xs, cut, 1000));
  EXPECT_EQ(mean.count, 1000u);
  EXPECT_LE(ulps_apart(mean.mean, fed(Mean{}, xs, 0, 1000).mean), kFewUlps);
}

INSTANTIATE_TEST_SUITE_P(Cuts, SplitStream, ::testing::Values(0, 1, 2, 137, 500, 999, 1000));

TEST(MergeStatistics, AnEmptySideGivesTheOtherBitForBit) {
  const auto xs = random_stream(10, 5);
  const Mean m = fed(Mean{}, xs, 0, 10);
  EXPECT_EQ(mean_bits(*merge(m, Mean{})), mean_bits(m));
  EXPECT_EQ(mean_bits(*merge(Mean{}, m)), mean_bits(m));

  const Variance v = fed(Variance::create(VarianceKind::Sample), xs, 0, 10);
  const Variance empty = Variance::create(VarianceKind::Sample);
  EXPECT_EQ(state_bits(*merge(v, empty)), state_bits(v));
  EXPECT_EQ(state_bits(*merge(empty, v)), state_bits(v));
  EXPECT_EQ(state_bits(*merge_from(v, v, v)), state_bits(v));  // neither side added anything

  auto s = *StandardScaler::create(2, {true, false, 0.5});
  ASSERT_TRUE(s.fit_one(std::vector<double>{1.5, -2.0}));
  const auto fresh = *StandardScaler::create(2, {true, false, 0.5});
  EXPECT_EQ(state_bits(*merge(fresh, s)), state_bits(s));
  EXPECT_EQ(state_bits(*merge(s, fresh)), state_bits(s));
}

TEST(MergeStatistics, KnownValues) {
  // {1, 2} and {3, 4, 5, 6}: mean 3.5, M2 17.5.
  const auto a = fed(Variance::create(VarianceKind::Population), {1, 2}, 0, 2);
  const auto b = fed(Variance::create(VarianceKind::Population), {3, 4, 5, 6}, 0, 4);
  const Variance v = *merge(a, b);
  EXPECT_EQ(v.count, 6u);
  EXPECT_EQ(v.mean, 3.5);
  EXPECT_EQ(v.m2, 17.5);
}

std::string differ(const std::string& what, const std::string& a, const std::string& b) {
  return "invalid model state: cannot merge states whose " + what + " differ: " + a + " and " + b;
}

LinearRegression adagrad_model(std::uint64_t n, double epsilon) {
  auto m = *LinearRegression::with_sgd(n, 0.1);
  m.optimizer.variant = AdaGrad{n, {0.1, 0.0, epsilon}, std::vector<double>(n, 0.0), 0.0, 0};
  return m;
}

TEST(MergeRefusals, NamesWhatDiffers) {
  const auto sgd = *LinearRegression::with_sgd(2, 0.1);
  auto huber = sgd;
  huber.loss.variant = HuberLoss{1.5};
  auto huber2 = huber;
  std::get<HuberLoss>(huber2.loss.variant).delta = 2.0;
  auto l2 = sgd;
  std::get<Sgd>(l2.optimizer.variant).config.l2 = 0.25;
  auto logistic = *LogisticRegression::with_sgd(2, 0.1);
  logistic.loss.epsilon = 1e-7;

  EXPECT_EQ(error_text(merge(Variance::create(VarianceKind::Population),
                             Variance::create(VarianceKind::Sample))),
            differ("variance kinds", "population", "sample"));
  EXPECT_EQ(error_text(merge(sgd, *LinearRegression::with_sgd(3, 0.1))),
            differ("feature counts", "2", "3"));
  EXPECT_EQ(error_text(merge(sgd, *LinearRegression::with_sgd(2, 0.01))),
            differ("learning rates", "0.1", "0.01"));
  EXPECT_EQ(error_text(merge(sgd, l2)), differ("l2 penalties", "0", "0.25"));
  EXPECT_EQ(error_text(merge(sgd, huber)), differ("losses", "squared error", "Huber"));
  EXPECT_EQ(error_text(merge(huber, huber2)), differ("Huber deltas", "1.5", "2"));
  EXPECT_EQ(error_text(merge(sgd, adagrad_model(2, 1e-8))), differ("optimizers", "SGD", "AdaGrad"));
  EXPECT_EQ(error_text(merge(adagrad_model(2, 1e-8), adagrad_model(2, 0.0))),
            differ("AdaGrad epsilons", "0.00000001", "0"));
  EXPECT_EQ(error_text(merge(*LogisticRegression::with_sgd(2, 0.1), logistic)),
            differ("log loss epsilons", "0.000000000000001", "0.0000001"));
  EXPECT_EQ(error_text(merge(*StandardScaler::create(2, {true, true, 0.0}),
                             *StandardScaler::create(2, {true, true, -0.0}))),
            differ("epsilons", "0", "-0"));
  EXPECT_EQ(error_text(merge(*StandardScaler::create(2, {false, true, 0.0}),
                             *StandardScaler::create(2, {true, true, 0.0}))),
            differ("with_mean settings", "false", "true"));
  EXPECT_EQ(error_text(merge(*RegressionPipeline::with_sgd(2, 0.1),
                             *RegressionPipeline::with_sgd(2, 0.2))),
            differ("learning rates", "0.1", "0.2"));
  EXPECT_EQ(error_text(merge(*ExponentiallyWeightedMean::create(0.5),
                             *ExponentiallyWeightedMean::create(0.5))),
            "invalid model state: an exponentially weighted mean cannot be merged: its value "
            "depends on the order of the values");
}

TEST(MergeRefusals, CountersNeverWrap) {
  const Mean full{kMaxCount, 1.0};
  EXPECT_EQ(error_text(merge(full, Mean{1, 2.0})),
            "invalid model state: mean sample counter overflow");
  EXPECT_EQ(error_text(merge(Variance{kMaxCount - 1, 0.0, 0.0, VarianceKind::Sample},
                             Variance{2, 0.0, 0.0, VarianceKind::Sample})),
            "invalid model state: variance sample counter overflow");
  const auto m = with_samples(*LinearRegression::with_sgd(1, 0.1), kMaxCount);
  EXPECT_EQ(error_text(merge(m, with_samples(m, 1))),
            "invalid model state: linear regression sample counter overflow");
  auto steps = with_samples(*LogisticRegression::with_sgd(1, 0.1), 1);
  std::get<Sgd>(steps.optimizer.variant).samples_seen = kMaxCount;
  EXPECT_EQ(error_text(merge(steps, steps)), "invalid model state: SGD sample counter overflow");
}

TEST(MergeRefusals, SidesMustContinueTheStart) {
  const auto start = with_samples(*LinearRegression::with_sgd(1, 0.1), 5);
  const std::string message =
      "invalid model state: cannot merge: a state has seen fewer samples than the start it "
      "continues";
  EXPECT_EQ(error_text(merge_from(start, with_samples(start, 4), start)), message);
  EXPECT_EQ(error_text(merge_from(start, start, with_samples(start, 4))), message);
  EXPECT_EQ(error_text(merge_from(Mean{3, 1.0}, Mean{3, 1.0}, Mean{2, 1.0})), message);
}

TEST(MergeRefusals, ResultsStayFinite) {
  auto a = with_samples(*LinearRegression::with_sgd(1, 0.1), 1);
  auto b = a;
  a.weights = {-1e308};
  b.weights = {1e308};
  EXPECT_EQ(error_text(merge(a, b)), "non-finite value for `weight`: inf");
  EXPECT_EQ(error_text(merge(Variance{1, -1e200, 0.0, VarianceKind::Sample},
                             Variance{1, 1e200, 0.0, VarianceKind::Sample})),
            "non-finite value for `variance M2`: inf");
  EXPECT_EQ(error_text(merge(Mean{1, -1e308}, Mean{1, 1e308})),
            "non-finite value for `mean delta`: inf");
  auto bad = *StandardScaler::create(1);
  bad.m2s = {-1.0};
  EXPECT_EQ(error_text(merge(bad, *StandardScaler::create(1))),
            "invalid model state: standard scaler m2s must be non-negative");
}

LinearRegression model_with(std::vector<double> w, double b, std::uint64_t samples) {
  auto m = with_samples(*LinearRegression::with_sgd(w.size(), 0.1), samples);
  m.weights = std::move(w);
  m.intercept = b;
  std::get<Sgd>(m.optimizer.variant).samples_seen = samples;
  return m;
}

TEST(MergeModels, AveragesWeightedBySamples) {
  const auto m = *merge(model_with({1.0, 2.0}, -1.0, 1), model_with({3.0, 6.0}, 3.0, 3));
  EXPECT_EQ(m.weights, (std::vector<double>{2.5, 5.0}));
  EXPECT_EQ(m.intercept, 2.0);
  EXPECT_EQ(m.samples_seen, 4u);
  EXPECT_EQ(std::get<Sgd>(m.optimizer.variant).samples_seen, 4u);
}

TEST(MergeModels, AdaGradAccumulatorsAreAveraged) {
  auto a = adagrad_model(1, 1e-8);
  a.samples_seen = 3;
  auto& oa = std::get<AdaGrad>(a.optimizer.variant);
  oa.grad_sq_weights = {4.0};
  oa.grad_sq_intercept = 8.0;
  oa.samples_seen = 3;
  const auto m = *merge(a, with_samples(adagrad_model(1, 1e-8), 1));
  const auto& o = std::get<AdaGrad>(m.optimizer.variant);
  EXPECT_EQ(o.grad_sq_weights, (std::vector<double>{3.0}));  // 4 + (0 - 4) / 4
  EXPECT_EQ(o.grad_sq_intercept, 6.0);
  EXPECT_EQ(o.samples_seen, 3u);
  EXPECT_EQ(m.samples_seen, 4u);
}

TEST(MergeModels, FromAStartWeighsWhatEachSideLearned) {
  const auto start = model_with({0.0, 0.0}, 0.0, 10);
  const auto a = model_with({1.0, 2.0}, -1.0, 12);  // learned 2
  const auto b = model_with({3.0, 6.0}, 3.0, 16);   // learned 6
  const auto m = *merge_from(start, a, b);
  EXPECT_EQ(m.weights, (std::vector<double>{2.5, 5.0}));
  EXPECT_EQ(m.intercept, 2.0);
  EXPECT_EQ(m.samples_seen, 18u);
  EXPECT_EQ(std::get<Sgd>(m.optimizer.variant).samples_seen, 18u);
}

TEST(MergeModels, ASideThatLearnedNothingContributesNothing) {
  const auto start = model_with({0.1, 0.2}, 0.3, 10);
  const auto learned = model_with({0.7, -0.0}, 1.0 / 3.0, 15);
  EXPECT_EQ(state_bits(*merge_from(start, start, learned)), state_bits(learned));
  EXPECT_EQ(state_bits(*merge_from(start, learned, start)), state_bits(learned));
  EXPECT_EQ(state_bits(*merge_from(start, start, start)), state_bits(start));
  const auto fresh = *LinearRegression::with_sgd(2, 0.1);
  EXPECT_EQ(state_bits(*merge(fresh, learned)), state_bits(learned));
  EXPECT_EQ(state_bits(*merge(learned, fresh)), state_bits(learned));
}

TEST(MergePipelines, ScalerAsStatisticModelAsModel) {
  auto a = *RegressionPipeline::with_sgd(2, 0.1);
  auto b = a;
  const auto xs = random_stream(40, 9);
  for (std::size_t i = 0; i < 10; ++i)
    ASSERT_TRUE(a.learn_one(std::span<const double>(xs).subspan(2 * i, 2), xs[i]));
  for (std::size_t i = 10; i < 20; ++i)
    ASSERT_TRUE(b.learn_one(std::span<const double>(xs).subspan(2 * i, 2), xs[i]));
  const auto p = *merge(a, b);
  EXPECT_EQ(p.transformer.counts, (std::vector<std::uint64_t>{20, 20}));
  EXPECT_EQ(p.model.samples_seen, 20u);
  EXPECT_EQ(state_bits(p.transformer), state_bits(*merge(a.transformer, b.transformer)));
  EXPECT_EQ(state_bits(p.model), state_bits(*merge(a.model, b.model)));

  const auto fresh = *ClassificationPipeline::with_sgd(2, 0.1);
  auto c = fresh;
  ASSERT_TRUE(c.learn_one(std::vector<double>{1.0, 2.0}, true));
  EXPECT_EQ(state_bits(merge_from(fresh, fresh, c)->transformer, merge_from(fresh, fresh, c)->model),
            state_bits(c.transformer, c.model));
}

}  // namespace
}  // namespace drel
