// Chained steps predict and learn each row as predict_learn_step does, bit
// for bit, and stop at the row it would defer, leaving that row untouched.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "linear/chained_steps.hpp"
#include "linear/linear_regression.hpp"
#include "linear/logistic_regression.hpp"
#include "snapshot_samples.hpp"
#include "state_bits.hpp"
#include "test_support.hpp"

namespace drel {
namespace {

using test::bits;
using test::state_bits;

struct ChainCase {
  std::string name;
  std::size_t width;
  double l2;
  bool huber;
  friend void PrintTo(const ChainCase& c, std::ostream* os) { *os << c.name; }
};

// Weights and features of every sign of zero, subnormals and ordinary
// values, so that the zero-penalty form meets every zero case.
double awkward(std::mt19937_64& rng) {
  switch (rng() % 6) {
    case 0: return 0.0;
    case 1: return -0.0;
    case 2: return 5e-324;
    default: return std::normal_distribution<double>(0.0, 1.0)(rng);
  }
}

template <class Model>
Model chain_model(const ChainCase& c, std::mt19937_64& rng) {
  std::vector<double> weights(c.width);
  for (double& w : weights) w = awkward(rng);
  Model m{c.width, weights, -0.0, samples::sgd(c.width, 0.25, c.l2, 5), {}, 5};
  if constexpr (std::is_same_v<Model, LinearRegression>) {
    if (c.huber) m.loss = RegressionLoss{HuberLoss{0.5}};
  }
  return m;
}

// Rows with a few that make a step defer: a feature that overflows a weight,
// then one whose output overflows although the weights before it are finite.
std::vector<double> chain_rows(std::size_t width, std::size_t count, std::mt19937_64& rng) {
  std::vector<double> rows(width * count);
  for (double& x : rows) x = awkward(rng);
  rows[width * (count / 2)] = 1e308;
  rows[width * (count / 2 + 5)] = 1e307;
  return rows;
}

template <class TargetColumn>
using TargetOf = std::conditional_t<std::is_same_v<TargetColumn, double>, double, bool>;

// Rows [0, count) through chained_steps, a deferred row through learn_one;
// the predictions of the rows taken, as the observer saw them too.
template <class Model, class TargetColumn>
std::vector<double> run_chained(Model& m, const std::vector<double>& rows, std::size_t width,
                                const std::vector<TargetColumn>& y, std::size_t count) {
  std::vector<double> predictions(count, 0.0), seen;
  std::size_t first = 0;
  while (first < count) {
    first += chained_steps(m, rows.data() + first * width, width, y.data() + first, count - first,
                           predictions.data() + first,
                           [&](TargetColumn, double p) { seen.push_back(p); });
    if (first < count) {
      (void)m.learn_one(std::span(rows.data() + first * width, width),
                        static_cast<TargetOf<TargetColumn>>(y[first]));
      seen.push_back(0.0);
      ++first;
    }
  }
  EXPECT_EQ(test::bits(seen), test::bits(predictions));
  return predictions;
}

// The same rows one predict_learn_step at a time.
template <class Model, class TargetColumn>
std::vector<double> run_stepped(Model& m, const std::vector<double>& rows, std::size_t width,
                                const std::vector<TargetColumn>& y, std::size_t count) {
  std::vector<double> predictions(count, 0.0);
  for (std::size_t r = 0; r < count; ++r) {
    const std::span<const double> x(rows.data() + r * width, width);
    const auto t = static_cast<TargetOf<TargetColumn>>(y[r]);
    if (predict_learn_step<Commit::CheckThenWrite>(m, x, t, predictions[r]) != StepOutcome::Done) {
      predictions[r] = 0.0;
      (void)m.learn_one(x, t);
    }
  }
  return predictions;
}

// After every number of rows, not only at the end: a weight whose sign of
// zero went wrong is usually overwritten by a later step.
template <class Model, class TargetColumn>
void expect_chain_matches_steps(const ChainCase& c) {
  std::mt19937_64 rng(std::hash<std::string>{}(c.name));
  constexpr std::size_t kRows = 40;
  const Model start = chain_model<Model>(c, rng);
  const std::vector<double> rows = chain_rows(c.width, kRows, rng);
  std::vector<TargetColumn> y(kRows);
  for (auto& t : y) {
    t = static_cast<TargetColumn>(std::is_same_v<TargetColumn, double> ? awkward(rng) : rng() % 2);
  }
  for (std::size_t count = 1; count <= kRows; ++count) {
    Model chained = start, stepped = start;
    const std::vector<double> a = run_chained(chained, rows, c.width, y, count);
    const std::vector<double> b = run_stepped(stepped, rows, c.width, y, count);
    ASSERT_EQ(test::bits(a), test::bits(b)) << count << " rows";
    ASSERT_EQ(state_bits(chained), state_bits(stepped)) << count << " rows";
  }
}

class ChainedSteps : public ::testing::TestWithParam<ChainCase> {};

TEST_P(ChainedSteps, LinearRegressionMatchesTheStep) {
  expect_chain_matches_steps<LinearRegression, double>(GetParam());
}

TEST_P(ChainedSteps, LogisticRegressionMatchesTheStep) {
  expect_chain_matches_steps<LogisticRegression, std::uint8_t>(GetParam());
}

// Widths with and without an odd last weight; no penalty (+0.0), a penalty,
// and a negative zero one, which must take the penalised form.
INSTANTIATE_TEST_SUITE_P(
    WidthsAndPenalties, ChainedSteps,
    ::testing::Values(ChainCase{"one_plain", 1, 0.0, false}, ChainCase{"two_plain", 2, 0.0, false},
                      ChainCase{"three_plain", 3, 0.0, true}, ChainCase{"ten_plain", 10, 0.0, false},
                      ChainCase{"three_l2", 3, 0.125, false}, ChainCase{"ten_l2", 10, 1e-3, true},
                      ChainCase{"four_minus_zero_l2", 4, -0.0, false},
                      ChainCase{"seventeen_minus_zero_l2", 17, -0.0, true}),
    [](const auto& info) { return info.param.name; });

TEST(ChainedSteps, OnlyPlainSgdOfTheRowWidth) {
  EXPECT_TRUE(chains(samples::fresh_linear(3, 0.1), 3));
  EXPECT_FALSE(chains(samples::fresh_linear(3, 0.1), 4));
  EXPECT_FALSE(chains(samples::huber_adagrad_linear(), 2));
  EXPECT_FALSE(chains(samples::fresh_logistic(kStackWeights + 1, 0.1), kStackWeights + 1));
}

TEST(ChainedSteps, StopsBeforeEitherCounterOverflows) {
  LinearRegression m = samples::fresh_linear(2, 0.1);
  m.samples_seen = test::kMaxCount - 2;
  const std::vector<double> rows{1.0, 2.0, 3.0, 4.0, 5.0, 6.0};
  const std::vector<double> y{1.0, 2.0, 3.0};
  std::vector<double> predictions(3);
  EXPECT_EQ(chained_steps(m, rows.data(), 2, y.data(), 3, predictions.data(), [](double, double) {}), 2u);
  EXPECT_EQ(m.samples_seen, test::kMaxCount);
  EXPECT_EQ(std::get<Sgd>(m.optimizer.variant).samples_seen, 2u);
}

// With an L2 of -0.0, a weight of -0.0 and a weight gradient of -0.0 give
// -0.0 (the penalty +0.0 makes the regularised gradient +0.0): the form
// without a penalty would give +0.0.
TEST(ChainedSteps, NegativeZeroPenaltyKeepsTheWeightsSign) {
  LinearRegression chained{2, {-0.0, 1.0}, 0.0, samples::sgd(2, 0.25, -0.0),
                           RegressionLoss{SquaredError{}}, 0};
  LinearRegression stepped = chained;
  const std::vector<double> x{0.0, 1.0};
  const double y = 5.0;  // a negative gradient: 0.0 * g is -0.0
  double p = 0.0;
  EXPECT_EQ(chained_steps(chained, x.data(), 2, &y, 1, &p, [](double, double) {}), 1u);
  ASSERT_EQ(predict_learn_step<Commit::CheckThenWrite>(stepped, x, y, p), StepOutcome::Done);
  EXPECT_EQ(bits(stepped.weights[0]), bits(-0.0));
  EXPECT_EQ(state_bits(chained), state_bits(stepped));
}

}  // namespace
}  // namespace drel
