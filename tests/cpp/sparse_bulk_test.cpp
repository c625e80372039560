// learn_block over rows read where their owner keeps them (SharedSparseRows)
// against learn_many over the same rows dense: the same first error and, on
// success, the same state bit for bit, in blocks that carry one
// SparseLearning. Rows to verify stop at the first that is not canonical or
// within bounds, having learned the rows before it; rows whose indices were
// rewritten after they were verified stay within the model.
#include "bulk/sparse_bulk.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "state_bits.hpp"
#include "test_support.hpp"

namespace drel {
namespace {

using namespace test;

constexpr std::size_t kCols = 9;

template <class Index>
struct Csr {
  std::vector<Index> offsets{0}, indices;
  std::vector<double> values, dense;  // dense: the same rows, row after row
  std::size_t rows = 0;

  SharedSparseRows<Index> block(std::size_t first, std::size_t count, bool verify) const {
    return {offsets.data() + first, indices.data(), values.data(), count,
            kCols,                  values.size(),  verify};
  }
  Rows dense_rows(std::size_t count) const { return Rows{dense.data(), count, kCols, kCols}; }
};

// Canonical rows, about a third of the features stored; at `odd_percent`, a
// value is huge, a zero of either sign or not finite.
template <class Index>
Csr<Index> canonical(std::size_t rows, std::uint64_t seed, unsigned odd_percent) {
  std::mt19937_64 gen(seed);
  std::uniform_int_distribution<unsigned> percent(0, 99);
  constexpr double kOdd[] = {kNaN, kInf, 1e308, -1e300, -0.0, 0.0};
  Csr<Index> m;
  m.rows = rows;
  m.dense.assign(rows * kCols, 0.0);
  for (std::size_t i = 0; i < rows; ++i) {
    for (std::size_t j = 0; j < kCols; ++j) {
      if (percent(gen) >= 33) continue;
      const double v = percent(gen) < odd_percent ? kOdd[gen() % std::size(kOdd)]
                                                  : std::normal_distribution<double>(0, 2)(gen);
      m.indices.push_back(static_cast<Index>(j));
      m.values.push_back(v);
      m.dense[i * kCols + j] = v;
    }
    m.offsets.push_back(static_cast<Index>(m.indices.size()));
  }
  return m;
}

std::string text(const BulkStatus& s) {
  return s ? std::string("<no error>")
           : "row " + std::to_string(s.error().row) + ": " + s.error().error.message();
}

// Rows [0, count) in blocks of `block` rows on a copy of `m`, committed when
// every block succeeded.
template <class Model, class Index, class Targets>
BulkStatus in_blocks(Model& m, const Csr<Index>& x, std::size_t count, Targets y,
                     std::size_t block, bool verify) {
  Model work = m;
  SparseLearning run(kCols);
  for (std::size_t first = 0; first < count; first += block) {
    const std::size_t n = std::min(block, count - first);
    BulkStatus done = learn_block(work, x.block(first, n, verify), y.subspan(first, n), run);
    if (!done) {
      done.error().row += first;
      return done;
    }
  }
  m = std::move(work);
  return {};
}

std::vector<LinearRegression> linear_models() {
  const RegressionLoss squared{SquaredError{}};
  const Optimizer adagrad{
      AdaGrad{kCols, AdaGradConfig{0.1, 0.0, 1e-8}, std::vector<double>(kCols, 0.0), 0.0, 0}};
  std::vector<LinearRegression> out;
  for (const Optimizer& o : {*Optimizer::sgd(kCols, 0.05, 0.0), *Optimizer::sgd(kCols, 0.05, 0.25), adagrad})
    out.push_back(*LinearRegression::create(kCols, o, squared));
  return out;
}

// The first row from row 25 on with two stored values or more, its first two
// indices now out of order, repeated, beyond the width or negative (`fault`
// 0 to 3): the row.
template <class Index>
std::size_t break_a_late_row(Csr<Index>& x, int fault) {
  std::size_t row = 25;
  while (x.offsets[row + 1] - x.offsets[row] < 2) ++row;
  Index* first = x.indices.data() + x.offsets[row];
  const Index was[] = {first[0], first[1]};
  const Index now[][2] = {{was[1], was[0]},
                          {was[0], was[0]},
                          {was[0], static_cast<Index>(kCols)},
                          {static_cast<Index>(-1), was[1]}};
  first[0] = now[fault][0];
  first[1] = now[fault][1];
  return row;
}

template <class Index>
class SharedRowsLearn : public ::testing::Test {};
using IndexTypes = ::testing::Types<std::int32_t, std::int64_t>;
TYPED_TEST_SUITE(SharedRowsLearn, IndexTypes);

TYPED_TEST(SharedRowsLearn, MatchLearnManyOverDenseRows) {
  for (std::uint64_t seed = 0; seed < 24; ++seed) {
    const auto x = canonical<TypeParam>(60, seed, seed % 3 == 0 ? 2 : 0);
    std::vector<double> targets(x.rows);
    std::vector<std::uint8_t> flags(x.rows);
    for (std::size_t i = 0; i < x.rows; ++i) {
      targets[i] = x.dense[i * kCols] - 0.5 * static_cast<double>(i % 4);
      flags[i] = static_cast<std::uint8_t>((i * 7 + seed) % 3 == 0);
    }
    const std::span<const double> y(targets);
    for (const bool verify : {true, false}) {
      for (const LinearRegression& start : linear_models()) {
        LinearRegression by_blocks = start, by_dense = start;
        const BulkStatus expected = learn_many(by_dense, x.dense_rows(x.rows), y);
        EXPECT_EQ(text(in_blocks(by_blocks, x, x.rows, y, 7, verify)), text(expected));
        EXPECT_EQ(state_bits(by_blocks), expected ? state_bits(by_dense) : state_bits(start));
      }
      const auto start = *LogisticRegression::create(kCols, *Optimizer::sgd(kCols, 0.5, 0.0),
                                                      BinaryLogLoss{1e-15});
      LogisticRegression by_blocks = start, by_dense = start;
      const BulkStatus expected = learn_many(by_dense, x.dense_rows(x.rows), Flags(flags));
      EXPECT_EQ(text(in_blocks(by_blocks, x, x.rows, Flags(flags), 13, verify)), text(expected));
      EXPECT_EQ(state_bits(by_blocks), expected ? state_bits(by_dense) : state_bits(start));
    }
  }
}

TYPED_TEST(SharedRowsLearn, VerifyingStopsAtTheFirstRowNotCanonicalOrWithinBounds) {
  using Index = TypeParam;
  const std::vector<double> targets(40, 1.5);
  const std::span<const double> y(targets);
  for (const int fault : {0, 1, 2, 3}) {
    auto x = canonical<Index>(40, 5, 0);
    const std::size_t row = break_a_late_row(x, fault);
    LinearRegression by_block = linear_models()[0], by_dense = linear_models()[0];
    SparseLearning run(kCols);
    const BulkStatus stopped = learn_block(by_block, x.block(0, x.rows, true), y, run);
    ASSERT_FALSE(stopped);
    EXPECT_EQ(stopped.error().row, row);
    EXPECT_TRUE(stopped.error().error.template is<error_kind::UnsortedSparseFeatures>());
    ASSERT_TRUE(learn_many(by_dense, x.dense_rows(row), y));
    EXPECT_EQ(state_bits(by_block), state_bits(by_dense));
  }
}

TYPED_TEST(SharedRowsLearn, RowsRewrittenAfterTheirCheckStayWithinTheModel) {
  using Index = TypeParam;
  auto x = canonical<Index>(50, 9, 0);
  const Index wild[] = {static_cast<Index>(-7), static_cast<Index>(kCols), 3, 3,
                        std::numeric_limits<Index>::max(), std::numeric_limits<Index>::min()};
  for (std::size_t k = 0; k < x.indices.size(); ++k)
    if (k % 3 == 0) x.indices[k] = wild[k % std::size(wild)];
  x.offsets[10] = std::numeric_limits<Index>::max();  // a row that ends beyond the entries
  x.offsets[20] = static_cast<Index>(-1);             // and one that starts before them
  const std::vector<std::uint8_t> flags(x.rows, 1);
  auto m = *LogisticRegression::create(kCols, *Optimizer::sgd(kCols, 0.5, 0.0), BinaryLogLoss{1e-15});
  SparseLearning run(kCols);
  (void)learn_block(m, x.block(0, x.rows, false), Flags(flags), run);
  EXPECT_EQ(m.weights.size(), kCols);
}

// predict_many and predict_proba_many over rows read in place: the outputs
// and first error of the same calls over the dense rows, in blocks, from
// finite weights (each row's sum over its stored values) and from a weight
// that is not (each row made dense, through the checked form).
template <class Index>
class SharedRowsPredict : public ::testing::Test {};
TYPED_TEST_SUITE(SharedRowsPredict, IndexTypes);

// Each block of `block` rows through `bulk(rows, out)` into one output
// array; the first error with its row in the whole.
template <class Out, class Bulk>
BulkStatus outputs_in_blocks(std::size_t count, std::size_t block, std::vector<Out>& out, Bulk bulk) {
  for (std::size_t first = 0; first < count; first += block) {
    const std::size_t n = std::min(block, count - first);
    BulkStatus done = bulk(first, n, std::span<Out>(out).subspan(first, n));
    if (!done) {
      done.error().row += first;
      return done;
    }
  }
  return {};
}

template <class Out>
void expect_same_outputs(const std::vector<Out>& a, const std::vector<Out>& b) {
  if constexpr (std::is_same_v<Out, double>) {
    EXPECT_EQ(bits(a), bits(b));
  } else {
    EXPECT_EQ(a, b);
  }
}

// Rows verified as they are read or before: the same for canonical rows.
template <class Index, class Model, class Out, class Predict>
void expect_predictions_match_dense(const Csr<Index>& x, const Model& m, Predict predict) {
  std::vector<Out> dense(x.rows);
  const BulkStatus expected = predict(m, x.dense_rows(x.rows), std::span<Out>(dense));
  for (const bool verify : {false, true}) {
    std::vector<Out> shared(x.rows);
    const BulkStatus got = outputs_in_blocks<Out>(
        x.rows, 7, shared, [&](std::size_t first, std::size_t n, std::span<Out> out) {
          return predict(m, x.block(first, n, verify), out);
        });
    ASSERT_EQ(text(got), text(expected));
    if (expected) expect_same_outputs(shared, dense);
  }
}

TYPED_TEST(SharedRowsPredict, MatchPredictManyOverDenseRows) {
  const auto regression = [](const auto& m, const auto& rows, std::span<double> out) {
    return predict_many(m, rows, out);
  };
  const auto classes = [](const auto& m, const auto& rows, std::span<std::uint8_t> out) {
    return predict_many(m, rows, out);
  };
  const auto probabilities = [](const auto& m, const auto& rows, std::span<double> out) {
    return predict_proba_many(m, rows, out);
  };
  for (std::uint64_t seed = 0; seed < 24; ++seed) {
    const auto x = canonical<TypeParam>(60, seed, seed % 3 == 0 ? 2 : 0);
    const auto train = canonical<TypeParam>(30, seed + 100, 0);
    std::vector<double> targets(train.rows);
    std::vector<std::uint8_t> flags(train.rows);
    for (std::size_t i = 0; i < train.rows; ++i) {
      targets[i] = train.dense[i * kCols + 1] + 0.25 * static_cast<double>(i % 5);
      flags[i] = static_cast<std::uint8_t>((i + seed) % 2);
    }
    for (LinearRegression m : linear_models()) {
      ASSERT_TRUE(learn_many(m, train.dense_rows(train.rows), std::span<const double>(targets)));
      if (seed % 4 == 1) m.weights[seed % kCols] = kInf;
      if (seed % 4 == 2) m.intercept = -0.0;
      expect_predictions_match_dense<TypeParam, LinearRegression, double>(x, m, regression);
    }
    auto m = *LogisticRegression::create(kCols, *Optimizer::sgd(kCols, 0.5, 0.0), BinaryLogLoss{1e-15});
    ASSERT_TRUE(learn_many(m, train.dense_rows(train.rows), Flags(flags)));
    if (seed % 4 == 1) m.weights[seed % kCols] = kNaN;
    expect_predictions_match_dense<TypeParam, LogisticRegression, std::uint8_t>(x, m, classes);
    expect_predictions_match_dense<TypeParam, LogisticRegression, double>(x, m, probabilities);
  }
}

TYPED_TEST(SharedRowsPredict, VerifyingStopsAtTheFirstRowNotCanonicalOrWithinBounds) {
  using Index = TypeParam;
  for (const int fault : {0, 1, 2, 3}) {
    auto x = canonical<Index>(40, 5, 0);
    const std::size_t row = break_a_late_row(x, fault);
    const auto m = *LogisticRegression::create(kCols, *Optimizer::sgd(kCols, 0.5, 0.0),
                                               BinaryLogLoss{1e-15});
    std::vector<double> shared(x.rows), dense(row);
    const BulkStatus stopped = predict_proba_many(m, x.block(0, x.rows, true), std::span(shared));
    ASSERT_FALSE(stopped);
    EXPECT_EQ(stopped.error().row, row);
    EXPECT_TRUE(stopped.error().error.template is<error_kind::UnsortedSparseFeatures>());
    ASSERT_TRUE(predict_proba_many(m, x.dense_rows(row), std::span(dense)));
    shared.resize(row);
    expect_same_outputs(shared, dense);
  }
}

// A row rewritten out of order or with a repeated index after the matrix was
// checked is made dense by the indices it has then (a repeated one's values
// summed): the output of that dense row. Indices and offsets rewritten out of
// bounds are clamped: every read stays within the arrays and the weights.
TYPED_TEST(SharedRowsPredict, RowsRewrittenAfterTheirCheckAreReadAsTheyAreThen) {
  using Index = TypeParam;
  auto x = canonical<Index>(40, 7, 0);
  std::size_t row = 20;
  while (x.offsets[row + 1] - x.offsets[row] < 3) ++row;
  Index* first = x.indices.data() + x.offsets[row];
  std::vector<double> now(kCols, 0.0);
  std::swap(first[0], first[1]);  // out of order
  first[2] = first[1];            // and repeated
  for (auto k = x.offsets[row]; k < x.offsets[row + 1]; ++k)
    now[static_cast<std::size_t>(x.indices[k])] += x.values[k];
  std::copy(now.begin(), now.end(), x.dense.begin() + static_cast<std::ptrdiff_t>(row * kCols));
  LinearRegression m = linear_models()[0];
  for (std::size_t j = 0; j < kCols; ++j) m.weights[j] = 0.5 + static_cast<double>(j);
  std::vector<double> shared(x.rows), dense(x.rows);
  ASSERT_TRUE(predict_many(m, x.dense_rows(x.rows), std::span<double>(dense)));
  ASSERT_TRUE(predict_many(m, x.block(0, x.rows, false), std::span<double>(shared)));
  EXPECT_EQ(bits(shared), bits(dense));

  const Index wild[] = {static_cast<Index>(-7), static_cast<Index>(kCols), 3, 3,
                        std::numeric_limits<Index>::max(), std::numeric_limits<Index>::min()};
  for (std::size_t k = 0; k < x.indices.size(); ++k)
    if (k % 3 == 0) x.indices[k] = wild[k % std::size(wild)];
  x.offsets[10] = std::numeric_limits<Index>::max();
  x.offsets[20] = static_cast<Index>(-1);
  std::vector<double> probabilities(x.rows);
  const auto log = *LogisticRegression::create(kCols, *Optimizer::sgd(kCols, 0.5, 0.0), BinaryLogLoss{1e-15});
  EXPECT_TRUE(predict_proba_many(log, x.block(0, x.rows, false), std::span<double>(probabilities)));
  EXPECT_TRUE(predict_many(m, x.block(0, x.rows, false), std::span<double>(shared)));
}

}  // namespace
}  // namespace drel
