// One sparse row on the live model: where the step is taken it leaves the
// model as the dense learn_one leaves it, bit for bit; where it hands over
// (Defer) it has written nothing, and the dense call gives the outcome. A
// step taken back leaves the model as it was.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "linear/sparse_one.hpp"
#include "snapshot_samples.hpp"
#include "state_bits.hpp"
#include "test_support.hpp"

namespace drel {
namespace {

using namespace test;

constexpr std::size_t kWidth = 12;

// Values that keep the steps finite, and a few that overflow a weight.
constexpr double kValues[] = {1.0, -0.5, 3.0, 0.25, -2.0, 1e-3, 7.0, 1e200, -1e300};

struct Rows {
  std::uint64_t seed = 12345;
  std::uint64_t next() {
    seed = seed * 6364136223846793005u + 1442695040888963407u;
    return seed >> 33;
  }
  // A row of distinct increasing columns, and the same row made dense.
  void make(std::vector<std::size_t>& indices, std::vector<double>& values,
            std::vector<double>& dense) {
    indices.clear();
    values.clear();
    dense.assign(kWidth, 0.0);
    for (std::size_t j = 0; j < kWidth; ++j) {
      if (next() % 3 != 0) continue;
      indices.push_back(j);
      values.push_back(kValues[next() % std::size(kValues)]);
      dense[j] = values.back();
    }
  }
};

template <class Model>
void expect_sparse_steps_match_dense(Model model, double rate_spread) {
  Model sparse = model, dense = model;
  SparseState state = sparse_state(sparse);
  Rows rows;
  std::vector<std::size_t> indices;
  std::vector<double> values, x;
  for (int i = 0; i < 300; ++i) {
    rows.make(indices, values, x);
    const SparseRow row{indices.data(), values.data(), indices.size()};
    const auto target = [&] {
      if constexpr (std::is_same_v<Model, LogisticRegression>) return i % 3 == 0;
      else return rate_spread * static_cast<double>(i % 7) - 2.0;
    }();
    const std::optional<double> out = sparse_output(sparse, row, kWidth, state);
    if (out) {
      auto expected = [&] {
        if constexpr (std::is_same_v<Model, LogisticRegression>) return dense.logit_checked(x);
        else return dense.predict_one_checked(x);
      }();
      ASSERT_TRUE(expected.has_value()) << i;
      EXPECT_EQ(std::bit_cast<std::uint64_t>(*out), std::bit_cast<std::uint64_t>(*expected)) << i;
    }
    const StateBits before = state_bits(sparse);
    {  // the same step taken back leaves the model as it was, in its own storage
      Model probe = sparse;
      SparseState probe_state = state;
      const double* storage = probe.weights.data();
      UndoableSparseLearn<Model> step;
      if (step.take(probe, row, kWidth, target, probe_state) == StepOutcome::Done) {
        std::move(step).undo(probe);
        ASSERT_EQ(state_bits(probe), before) << i;
        ASSERT_EQ(probe.weights.data(), storage) << i;
      } else {
        ASSERT_EQ(state_bits(probe), before) << i;
      }
    }
    Status done;
    if (sparse_learn_one(sparse, row, kWidth, target, state) == StepOutcome::Defer) {
      ASSERT_EQ(state_bits(sparse), before) << i;
      done = sparse.learn_one(x, target);
      state = sparse_state(sparse);
    }
    const Status expected = dense.learn_one(x, target);
    ASSERT_EQ(error_text(done), error_text(expected)) << i;
    ASSERT_EQ(state_bits(sparse), state_bits(dense)) << i;
    ASSERT_EQ(state.exact, sparse_state(sparse).exact) << i;
  }
}

TEST(SparseOne, LinearSgdMatchesDense) {
  expect_sparse_steps_match_dense(samples::fresh_linear(kWidth, 0.01), 1.0);
}

TEST(SparseOne, LinearOverflowingStepsAreRefusedUntouched) {
  expect_sparse_steps_match_dense(samples::fresh_linear(kWidth, 1e10), 1e300);
}

TEST(SparseOne, LinearL2TakesDenseSteps) {
  LinearRegression m = samples::fresh_linear(kWidth, 0.01);
  m.optimizer = samples::sgd(kWidth, 0.01, 0.1);
  expect_sparse_steps_match_dense(m, 1.0);
}

TEST(SparseOne, LogisticSgdMatchesDense) {
  expect_sparse_steps_match_dense(samples::fresh_logistic(kWidth, 0.5), 1.0);
}

TEST(SparseOne, LogisticAdaGradMatchesDense) {
  LogisticRegression m = samples::fresh_logistic(kWidth, 0.5);
  m.optimizer = Optimizer{AdaGrad{kWidth, {0.5, 0.0, 1e-8}, std::vector<double>(kWidth, 0.0),
                                  0.0, 0}};
  expect_sparse_steps_match_dense(m, 1.0);
}

TEST(SparseOne, AdaGradWithoutEpsilonWaitsForEveryAccumulator) {
  // An untouched accumulator of 0 gives an infinite rate: dense steps until
  // every column has been seen.
  LinearRegression m = samples::fresh_linear(kWidth, 0.01);
  m.optimizer = Optimizer{AdaGrad{kWidth, {0.1, 0.0, 0.0}, std::vector<double>(kWidth, 0.0),
                                  0.0, 0}};
  expect_sparse_steps_match_dense(m, 1.0);
}

TEST(SparseOne, NegativeZeroWeightIsNotSparseExact) {
  LinearRegression m = samples::fresh_linear(kWidth, 0.01);
  m.weights[3] = -0.0;
  EXPECT_FALSE(sparse_state(m).exact);
  EXPECT_TRUE(sparse_state(m).finite);
  expect_sparse_steps_match_dense(m, 1.0);
}

}  // namespace
}  // namespace drel
