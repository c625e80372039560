// The bulk loops against the one-sample operations: the same state, outputs
// and first error, bit for bit, and nothing changed by a failed call. Also the
// fast one-sample path against the checked form it defers to.
#include "bulk/bulk.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "linear/chained_steps.hpp"
#include "state_bits.hpp"
#include "case_names.hpp"
#include "test_support.hpp"

namespace drel {
namespace {

using namespace test;

// Rows with moderate values and, at the given rate in percent, extreme
// magnitudes, zeros, subnormals and non-finite values.
class RowMaker {
 public:
  explicit RowMaker(std::uint64_t seed) : gen_(seed) {}

  double value(unsigned odd_percent) {
    std::uniform_int_distribution<unsigned> pick(0, 99);
    if (pick(gen_) < odd_percent) {
      static constexpr double kOdd[] = {kNaN, kInf, -kInf, 1e308, -1e308, 1e200, 5e-324,
                                        -0.0, 0.0,  1e-300, 3e150, -7e160};
      return kOdd[std::uniform_int_distribution<std::size_t>(0, std::size(kOdd) - 1)(gen_)];
    }
    return std::normal_distribution<double>(0.0, 2.0)(gen_);
  }

  std::vector<double> values(std::size_t n, unsigned odd_percent) {
    std::vector<double> v(n);
    for (double& x : v) x = value(odd_percent);
    return v;
  }

  std::vector<std::uint8_t> flags(std::size_t n) {
    std::vector<std::uint8_t> v(n);
    for (auto& f : v) f = static_cast<std::uint8_t>(gen_() & 1);
    return v;
  }

 private:
  std::mt19937_64 gen_;
};

Rows dense(const std::vector<double>& data, std::size_t cols) {
  return Rows{data.data(), cols == 0 ? 0 : data.size() / cols, cols, cols, nullptr};
}

// The one-sample loop, stopping at the first error as a bulk call reports it.
template <class Object, class One>
BulkStatus one_by_one(Object& o, const Rows& rows, One one) {
  for (std::size_t i = 0; i < rows.count; ++i) {
    if (auto done = one(o, rows.row(i), i); !done)
      return std::unexpected(RowError{i, std::move(done).error()});
  }
  return {};
}

std::string text(const BulkStatus& s) {
  return s ? std::string("<no error>")
           : "row " + std::to_string(s.error().row) + ": " + s.error().error.message();
}

// Bulk against the loop: same outcome; on success the loop's state, on
// failure the state from before the call.
template <class Object, class Bulk, class One>
void expect_bulk_matches_loop(const Object& start, const Rows& rows, Bulk bulk, One one) {
  Object many = start;
  Object looped = start;
  const BulkStatus expected = one_by_one(looped, rows, one);
  const BulkStatus got = bulk(many, rows);
  EXPECT_EQ(text(got), text(expected));
  EXPECT_EQ(state_bits(many), expected ? state_bits(looped) : state_bits(start));
}

Optimizer adagrad(std::size_t n, double rate, double l2, double epsilon) {
  return Optimizer{AdaGrad{n, AdaGradConfig{rate, l2, epsilon}, std::vector<double>(n, 0.0), 0.0, 0}};
}

// Every optimizer and loss a snapshot can give a model.
std::vector<LinearRegression> linear_models(std::size_t n) {
  std::vector<LinearRegression> out;
  for (const Optimizer& o : {*Optimizer::sgd(n, 0.01, 0.0), *Optimizer::sgd(n, 0.3, 0.5),
                             adagrad(n, 0.1, 0.0, 1e-8), adagrad(n, 0.5, 0.01, 0.0)})
    for (const RegressionLoss& loss : {RegressionLoss{SquaredError{}}, RegressionLoss{HuberLoss{0.5}}})
      out.push_back(*LinearRegression::create(n, o, loss));
  return out;
}

std::vector<LogisticRegression> logistic_models(std::size_t n) {
  std::vector<LogisticRegression> out;
  for (const Optimizer& o : {*Optimizer::sgd(n, 0.01, 0.0), *Optimizer::sgd(n, 0.3, 0.5),
                             adagrad(n, 0.1, 0.0, 1e-8), adagrad(n, 0.5, 0.01, 0.0)})
    out.push_back(*LogisticRegression::create(n, o, BinaryLogLoss{1e-15}));
  return out;
}

std::vector<StandardScalerState> scalers(std::size_t n) {
  std::vector<StandardScalerState> out;
  for (double epsilon : {1e-12, 0.0, 4.0})
    for (int flags = 0; flags < 4; ++flags)
      out.push_back(*StandardScalerState::create(n, {(flags & 1) != 0, (flags & 2) != 0, epsilon}));
  return out;
}

// Random batches over every configuration: rate of odd values, rows, width.
struct Shape {
  unsigned odd_percent;
  std::size_t rows;
  std::size_t cols;

  friend void PrintTo(const Shape& s, std::ostream* os) {
    *os << s.rows << " rows of " << s.cols << ", " << s.odd_percent << "% odd values";
  }
};

class BulkMatchesLoop : public ::testing::TestWithParam<Shape> {
 protected:
  // Several consecutive batches, so that later ones start from trained states.
  template <class Object, class Bulk, class One>
  void run(Object object, Bulk bulk, One one, std::uint64_t seed) {
    const Shape s = GetParam();
    RowMaker maker(seed);
    for (int batch = 0; batch < 6; ++batch) {
      const std::vector<double> data = maker.values(s.rows * s.cols, s.odd_percent);
      targets_ = maker.values(s.rows, s.odd_percent);
      flags_ = maker.flags(s.rows);
      const Rows rows = dense(data, s.cols);
      expect_bulk_matches_loop(object, rows, bulk, one);
      (void)bulk(object, rows);
    }
  }

  std::vector<double> targets_;
  std::vector<std::uint8_t> flags_;
};

TEST_P(BulkMatchesLoop, Statistics) {
  const Shape s = GetParam();
  RowMaker maker(7);
  auto check = [&](auto statistic) {
    using S = decltype(statistic);
    for (int batch = 0; batch < 6; ++batch) {
      const std::vector<double> xs = maker.values(s.rows, s.odd_percent);
      S looped = statistic;
      S many = statistic;
      BulkStatus expected;
      for (std::size_t i = 0; i < xs.size() && expected; ++i)
        if (auto d = looped.update(xs[i]); !d) expected = std::unexpected(RowError{i, d.error()});
      EXPECT_EQ(text(update_many(many, xs)), text(expected));
      EXPECT_EQ(state_bits(many), expected ? state_bits(looped) : state_bits(statistic));
      (void)update_many(statistic, xs);
    }
  };
  check(Mean{});
  check(*ExponentiallyWeightedMean::create(0.3));
  check(Variance::create(VarianceKind::Sample));
}

TEST_P(BulkMatchesLoop, Scalers) {
  for (const StandardScalerState& s : scalers(GetParam().cols))
    run(s, [](StandardScalerState& o, const Rows& r) { return learn_many(o, r); },
        [](StandardScalerState& o, std::span<const double> x, std::size_t) { return o.fit_one(x); },
        11);
}

TEST_P(BulkMatchesLoop, LinearModels) {
  for (const LinearRegression& m : linear_models(GetParam().cols))
    run(m, [this](LinearRegression& o, const Rows& r) { return learn_many(o, r, targets_); },
        [this](LinearRegression& o, std::span<const double> x, std::size_t i) {
          return o.learn_one(x, targets_[i]);
        },
        12);
}

TEST_P(BulkMatchesLoop, LogisticModels) {
  for (const LogisticRegression& m : logistic_models(GetParam().cols))
    run(m, [this](LogisticRegression& o, const Rows& r) { return learn_many(o, r, flags_); },
        [this](LogisticRegression& o, std::span<const double> x, std::size_t i) {
          return o.learn_one(x, flags_[i] != 0);
        },
        13);
}

TEST_P(BulkMatchesLoop, Pipelines) {
  const std::size_t n = GetParam().cols;
  const auto scaler_list = scalers(n);
  const auto linear = linear_models(n);
  const auto logistic = logistic_models(n);
  for (std::size_t k = 0; k < scaler_list.size(); ++k) {
    run(RegressionPipeline{scaler_list[k], linear[k % linear.size()]},
        [this](RegressionPipeline& o, const Rows& r) { return learn_many(o, r, targets_); },
        [this](RegressionPipeline& o, std::span<const double> x, std::size_t i) {
          return o.learn_one(x, targets_[i]);
        },
        14 + k);
    run(ClassificationPipeline{scaler_list[k], logistic[k % logistic.size()]},
        [this](ClassificationPipeline& o, const Rows& r) { return learn_many(o, r, flags_); },
        [this](ClassificationPipeline& o, std::span<const double> x, std::size_t i) {
          return o.learn_one(x, flags_[i] != 0);
        },
        40 + k);
  }
}

// Predictions and transforms: each output equals the one-sample result, and
// the error is the first failing row's.
TEST_P(BulkMatchesLoop, Outputs) {
  const Shape s = GetParam();
  RowMaker maker(99);
  const std::vector<double> train = maker.values(40 * s.cols, 0);
  const std::vector<double> y = maker.values(40, 0);
  const std::vector<std::uint8_t> f = maker.flags(40);
  const std::vector<double> data = maker.values(s.rows * s.cols, s.odd_percent);
  const Rows rows = dense(data, s.cols);

  auto compare = [&](const auto& model, auto bulk, auto one) {
    std::vector<double> out(rows.count);
    const BulkStatus got = bulk(model, std::span<double>(out));
    BulkStatus expected;
    for (std::size_t i = 0; i < rows.count && expected; ++i) {
      const Result<double> r = one(model, rows.row(i));
      if (!r) expected = std::unexpected(RowError{i, r.error()});
      else {
        EXPECT_EQ(bits(out[i]), bits(*r)) << "row " << i;
      }
    }
    EXPECT_EQ(text(got), text(expected));
  };
  auto regressor = [&](auto model) {
    (void)learn_many(model, dense(train, s.cols), y);  // some settings diverge: fine
    compare(model, [&](const auto& m, std::span<double> out) { return predict_many(m, rows, out); },
            [](const auto& m, std::span<const double> x) { return m.predict_one(x); });
  };
  auto classifier = [&](auto model) {
    (void)learn_many(model, dense(train, s.cols), f);
    compare(model,
            [&](const auto& m, std::span<double> out) { return predict_proba_many(m, rows, out); },
            [](const auto& m, std::span<const double> x) { return m.predict_proba_one(x); });
    compare(model,
            [&](const auto& m, std::span<double> out) {
              std::vector<std::uint8_t> classes(out.size());
              const BulkStatus r = predict_many(m, rows, classes);
              std::copy(classes.begin(), classes.end(), out.begin());
              return r;
            },
            [](const auto& m, std::span<const double> x) -> Result<double> {
              const Result<bool> c = m.predict_one(x);
              if (!c) return std::unexpected(c.error());
              return *c ? 1.0 : 0.0;
            });
  };
  for (const LinearRegression& m : linear_models(s.cols)) regressor(m);
  for (const LogisticRegression& m : logistic_models(s.cols)) classifier(m);
  for (const StandardScalerState& sc : scalers(s.cols)) {
    regressor(RegressionPipeline{sc, linear_models(s.cols)[0]});
    classifier(ClassificationPipeline{sc, logistic_models(s.cols)[3]});
    StandardScalerState fitted = sc;
    ASSERT_TRUE(learn_many(fitted, dense(train, s.cols)));
    std::vector<double> out(rows.count * s.cols);
    const BulkStatus got = transform_many(fitted, rows, out);
    BulkStatus expected;
    for (std::size_t i = 0; i < rows.count && expected; ++i) {
      const auto r = fitted.transform_one(rows.row(i));
      if (!r) expected = std::unexpected(RowError{i, r.error()});
      else {
        EXPECT_EQ(bits(*r), bits(std::vector<double>(out.begin() + i * s.cols,
                                                     out.begin() + (i + 1) * s.cols)));
      }
    }
    EXPECT_EQ(text(got), text(expected));
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, BulkMatchesLoop,
                         ::testing::Values(Shape{0, 50, 1}, Shape{0, 30, 10}, Shape{1, 30, 10},
                                           Shape{5, 20, 3}, Shape{20, 12, 5},
                                           Shape{0, 8, 100}, Shape{2, 8, 70}),
                         named([](const Shape& s) {
                           return words("odd_percent", s.odd_percent, "rows", s.rows, "cols", s.cols);
                         }));

// A failure in the first, a middle and the last row: that row and the
// one-sample message are reported, and nothing changes.
class FailingRow : public ::testing::TestWithParam<std::size_t> {};

TEST_P(FailingRow, LeavesEveryClassUntouched) {
  const std::size_t bad = GetParam();
  RowMaker maker(5);
  constexpr std::size_t kRows = 9, kCols = 4;
  std::vector<double> data = maker.values(kRows * kCols, 0);
  data[bad * kCols + 2] = kNaN;
  const Rows rows = dense(data, kCols);
  const std::vector<double> y = maker.values(kRows, 0);
  const std::vector<std::uint8_t> f = maker.flags(kRows);
  const std::string message = "row " + std::to_string(bad) + ": non-finite value for `feature`: NaN";

  auto expect_untouched = [&](auto object, auto bulk) {
    const StateBits before = state_bits(object);
    EXPECT_EQ(text(bulk(object)), message);
    EXPECT_EQ(state_bits(object), before);
  };
  expect_untouched(*StandardScalerState::create(kCols), [&](auto& o) { return learn_many(o, rows); });
  expect_untouched(*LinearRegression::with_sgd(kCols, 0.1), [&](auto& o) { return learn_many(o, rows, y); });
  expect_untouched(*LogisticRegression::with_sgd(kCols, 0.1), [&](auto& o) { return learn_many(o, rows, f); });
  expect_untouched(*RegressionPipeline::with_sgd(kCols, 0.1), [&](auto& o) { return learn_many(o, rows, y); });
  expect_untouched(*ClassificationPipeline::with_sgd(kCols, 0.1), [&](auto& o) { return learn_many(o, rows, f); });

  std::vector<double> xs = maker.values(kRows, 0);
  xs[bad] = kInf;
  const std::string value_message = "row " + std::to_string(bad) + ": non-finite value for `value`: inf";
  Mean m;
  EXPECT_EQ(text(update_many(m, xs)), value_message);
  EXPECT_EQ(m.count, 0u);
  Variance v = Variance::create(VarianceKind::Population);
  EXPECT_EQ(text(update_many(v, xs)), value_message);
  EXPECT_EQ(v.count, 0u);
}

INSTANTIATE_TEST_SUITE_P(Rows, FailingRow, ::testing::Values(0, 4, 8),
                         [](const auto& info) { return "row_" + std::to_string(info.param); });

// Failures that the fast step only sees after writing part of the row in
// place: the copy is rebuilt, and the rows before still count.
TEST(BulkSpoiledRow, WeightGradientOverflowMidway) {
  const std::vector<double> data{1.0, 0.5, 2.0, 1e300, 1.0};
  const std::vector<double> y{0.5, 1.0, -1.0, -1e10, 2.0};
  const Rows rows = dense(data, 1);
  const LinearRegression start = *LinearRegression::with_sgd(1, 1.0);
  expect_bulk_matches_loop(start, rows,
                           [&](LinearRegression& o, const Rows& r) { return learn_many(o, r, y); },
                           [&](LinearRegression& o, std::span<const double> x, std::size_t i) {
                             return o.learn_one(x, y[i]);
                           });
  LinearRegression m = start;
  EXPECT_EQ(text(learn_many(m, rows, y)).substr(0, 6), "row 3:");
}

TEST(BulkSpoiledRow, ScalerM2OverflowMidway) {
  const std::vector<double> data{0.0, 1.0, 0.0, 1.0, 1e300, 3.0, 0.0, 0.0};
  const Rows rows = dense(data, 2);
  StandardScalerState s = *StandardScalerState::create(2);
  const StateBits before = state_bits(s);
  EXPECT_EQ(text(learn_many(s, rows)), "row 2: non-finite value for `standard scaler M2`: inf");
  EXPECT_EQ(state_bits(s), before);
  RegressionPipeline p = *RegressionPipeline::with_sgd(2, 0.1);
  const std::vector<double> y{1.0, 2.0, 3.0, 4.0};
  expect_bulk_matches_loop(p, rows,
                           [&](RegressionPipeline& o, const Rows& r) { return learn_many(o, r, y); },
                           [&](RegressionPipeline& o, std::span<const double> x, std::size_t i) {
                             return o.learn_one(x, y[i]);
                           });
}

// Rows of differing lengths: the first row of the wrong length is reported
// as the one-sample call reports it.
TEST(BulkRaggedRows, ReportTheShortRow) {
  const std::vector<double> data{1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0};
  const std::vector<std::size_t> offsets{0, 2, 4, 5, 7};
  const Rows rows{data.data(), 4, 0, 0, offsets.data()};
  const std::vector<double> y{1.0, 2.0, 3.0, 4.0};
  const std::vector<std::uint8_t> f{1, 0, 1, 0};
  LinearRegression m = *LinearRegression::with_sgd(2, 0.1);
  EXPECT_EQ(text(learn_many(m, rows, y)), "row 2: dimension mismatch: expected 2, got 1");
  EXPECT_EQ(m.samples_seen, 0u);
  ClassificationPipeline p = *ClassificationPipeline::with_sgd(2, 0.1);
  EXPECT_EQ(text(learn_many(p, rows, f)), "row 2: dimension mismatch: expected 2, got 1");
  EXPECT_EQ(p.samples_seen(), 0u);
  std::vector<double> out(4);
  EXPECT_EQ(text(predict_many(m, rows, out)), "row 2: dimension mismatch: expected 2, got 1");
  const std::vector<std::size_t> even{0, 2, 4};
  const Rows two{data.data(), 2, 0, 0, even.data()};
  ASSERT_TRUE(learn_many(m, two, y));
  LinearRegression looped = *LinearRegression::with_sgd(2, 0.1);
  ASSERT_TRUE(looped.learn_one(std::vector{1.0, 2.0}, 1.0));
  ASSERT_TRUE(looped.learn_one(std::vector{3.0, 4.0}, 2.0));
  EXPECT_EQ(state_bits(m), state_bits(looped));
}

TEST(BulkZeroRows, ChangeNothing) {
  const Rows none{nullptr, 0, 3, 3, nullptr};
  // An invalid scaler is not looked at when there is no row to fit.
  StandardScalerState s = *StandardScalerState::create(3);
  s.counts = {1, 2, 3};
  const StateBits before = state_bits(s);
  EXPECT_TRUE(learn_many(s, none));
  EXPECT_EQ(state_bits(s), before);
  LinearRegression m = *LinearRegression::with_sgd(3, 0.1);
  EXPECT_TRUE(learn_many(m, none, std::span<const double>{}));
  EXPECT_EQ(m.samples_seen, 0u);
  Mean mean;
  EXPECT_TRUE(update_many(mean, std::span<const double>{}));
  std::vector<double> out;
  EXPECT_TRUE(predict_many(m, none, out));
  EXPECT_TRUE(transform_many(s, none, out));
}

// An invalid scaler state fails the first row with the validation error; a
// regression pipeline checks the target before it.
TEST(BulkInvalidScaler, FirstRowReportsValidation) {
  const std::vector<double> data{1.0, 2.0, 3.0, 4.0};
  const Rows rows = dense(data, 2);
  RegressionPipeline p = *RegressionPipeline::with_sgd(2, 0.1);
  p.transformer.m2s = {-1.0, 0.0};
  const StateBits before = state_bits(p.transformer, p.model);
  const std::vector<double> y{1.0, 2.0};
  EXPECT_EQ(text(learn_many(p, rows, y)),
            "row 0: invalid model state: standard scaler m2s must be non-negative");
  const std::vector<double> bad_y{kNaN, 2.0};
  EXPECT_EQ(text(learn_many(p, rows, bad_y)), "row 0: non-finite value for `target`: NaN");
  EXPECT_EQ(state_bits(p.transformer, p.model), before);
  StandardScalerState s = p.transformer;
  EXPECT_EQ(text(learn_many(s, rows)),
            "row 0: invalid model state: standard scaler m2s must be non-negative");
}

// A loaded pipeline whose stages disagree: the model's check fails after the
// scaler absorbed the row in the one-sample call; the bulk call keeps nothing.
TEST(BulkMismatchedStages, ModelCheckFailsTheRow) {
  RegressionPipeline p{*StandardScalerState::create(2), *LinearRegression::with_sgd(3, 0.1)};
  const std::vector<double> data{1.0, 2.0, 3.0, 4.0};
  const std::vector<double> y{1.0, 2.0};
  const StateBits before = state_bits(p.transformer, p.model);
  EXPECT_EQ(text(learn_many(p, dense(data, 2), y)), "row 0: dimension mismatch: expected 3, got 2");
  EXPECT_EQ(state_bits(p.transformer, p.model), before);
}

// The fast one-sample path against the checked form it defers to, on the
// same inputs: the same state after every sample and the same errors.
TEST(FastPath, AgreesWithTheCheckedForm) {
  RowMaker maker(2024);
  for (std::size_t n : {1u, 4u, 33u, 300u}) {
    for (LinearRegression fast : linear_models(n)) {
      LinearRegression checked = fast;
      for (int k = 0; k < 300; ++k) {
        const std::vector<double> x = maker.values(n, 3);
        const double y = maker.value(3);
        EXPECT_EQ(error_text(fast.learn_one(x, y)), error_text(checked.learn_one_checked(x, y)));
        ASSERT_EQ(state_bits(fast), state_bits(checked));
        const auto p = fast.predict_one(x);
        const auto q = fast.predict_one_checked(x);
        EXPECT_EQ(error_text(p), error_text(q));
        if (p && q) {
          EXPECT_EQ(bits(*p), bits(*q));
        }
      }
    }
    for (LogisticRegression fast : logistic_models(n)) {
      LogisticRegression checked = fast;
      for (int k = 0; k < 300; ++k) {
        const std::vector<double> x = maker.values(n, 3);
        const bool y = (k * 7) % 3 == 0;
        EXPECT_EQ(error_text(fast.learn_one(x, y)), error_text(checked.learn_one_checked(x, y)));
        ASSERT_EQ(state_bits(fast), state_bits(checked));
      }
    }
    for (StandardScalerState fast : scalers(n)) {
      StandardScalerState checked = fast;
      for (int k = 0; k < 100; ++k) {
        const std::vector<double> x = maker.values(n, 3);
        EXPECT_EQ(error_text(fast.fit_one(x)), error_text(checked.fit_one_checked(x)));
        ASSERT_EQ(state_bits(fast), state_bits(checked));
        const auto a = fast.transform_one(x);
        const auto b = fast.transform_one_checked(x);
        EXPECT_EQ(error_text(a), error_text(b));
        if (a && b) {
          EXPECT_EQ(bits(*a), bits(*b));
        }
      }
      RegressionPipeline pf{fast, linear_models(n)[1]};
      RegressionPipeline pc = pf;
      for (int k = 0; k < 100; ++k) {
        const std::vector<double> x = maker.values(n, 3);
        const double y = maker.value(3);
        EXPECT_EQ(error_text(pf.learn_one(x, y)), error_text(pc.learn_one_checked(x, y)));
        ASSERT_EQ(state_bits(pf.transformer, pf.model), state_bits(pc.transformer, pc.model));
      }
    }
  }
}

// The per-feature validation that the fast fit folds into its pass still
// reports what validate() reports, whichever feature breaks it.
TEST(FastPath, FitStillValidates) {
  const std::vector<double> x{1.0, 2.0, 3.0};
  auto broken = [](auto change) {
    StandardScalerState s = *StandardScalerState::create(3);
    s.counts = {2, 2, 2};
    s.means = {0.5, 0.5, 0.5};
    s.m2s = {1.0, 1.0, 1.0};
    change(s);
    return s;
  };
  const std::pair<StandardScalerState, const char*> cases[] = {
      {broken([](auto& s) { s.counts[2] = 3; }), "standard scaler feature counts must stay synchronized"},
      {broken([](auto& s) { s.m2s[1] = -0.5; }), "standard scaler m2s must be non-negative"},
      {broken([](auto& s) { s.means[2] = kInf; }), "standard scaler state must contain only finite values"},
      {broken([](auto& s) { s.counts = {1, 1, 1}; }), "standard scaler m2s[0] must be 0 when count == 1, got 1"},
      {broken([](auto& s) { s.counts = {0, 0, 0}; s.m2s = {0.0, 0.0, 0.0}; }),
       "standard scaler means[0] must be 0 when count == 0, got 0.5"},
  };
  for (const auto& [state, text] : cases) {
    StandardScalerState s = state;
    expect_rejected_unchanged(s, std::string("invalid model state: ") + text,
                              [&](StandardScalerState& o) { return o.fit_one(x); });
  }
}

// Plain SGD over rows of one width runs learn_many's rows chained
// (linear/chained_steps.hpp): every width up to past the weights the chain
// keeps on the stack, a penalty of +0.0, -0.0 and more, both losses, both
// models, rows packed and spaced apart.
struct ChainShape {
  std::size_t cols;
  double l2;
  bool huber;

  friend void PrintTo(const ChainShape& c, std::ostream* os) {
    *os << c.cols << " features, l2 " << c.l2 << (c.huber ? ", huber" : "");
  }
};

std::vector<ChainShape> chain_shapes() {
  std::vector<ChainShape> out;
  for (std::size_t cols : {1, 2, 3, 4, 7, 10, 16, 31, 64, 100, 255, 256, 257, 300})
    for (double l2 : {0.0, -0.0, 1e-3})
      for (bool huber : {false, true}) out.push_back({cols, l2, huber});
  return out;
}

// Zeros of both signs, subnormals and ordinary values: the weight update
// without a penalty meets every case of a zero's sign.
double signed_zero_mix(std::mt19937_64& gen) {
  switch (gen() % 6) {
    case 0: return 0.0;
    case 1: return -0.0;
    case 2: return (gen() & 1) != 0 ? 5e-324 : -5e-324;
    default: return std::normal_distribution<double>(0.0, 1.0)(gen);
  }
}

class ChainedLearnMany : public ::testing::TestWithParam<ChainShape> {
 protected:
  template <class Model>
  Model start() {
    const ChainShape c = GetParam();
    std::vector<double> weights(c.cols);
    for (double& w : weights) w = signed_zero_mix(gen_);
    // A power of two near 1 / width keeps the weights from diverging.
    const double rate = std::ldexp(1.0, -static_cast<int>(std::bit_width(c.cols)));
    Optimizer sgd{Sgd{c.cols, {rate, c.l2}, 5}};
    if constexpr (std::is_same_v<Model, LinearRegression>) {
      const RegressionLoss loss = c.huber ? RegressionLoss{HuberLoss{0.5}} : RegressionLoss{SquaredError{}};
      return LinearRegression{c.cols, weights, -0.0, sgd, loss, 5};
    } else {
      return LogisticRegression{c.cols, weights, -0.0, sgd, BinaryLogLoss{}, 5};
    }
  }

  // Batches from the state the one before left: plain ones, one with a row
  // that overflows a weight half-way through the row, one with a NaN feature
  // mid-call. Each batch packed and with a NaN-filled gap between rows.
  template <class Model, class Targets, class One>
  void expect_batches_match_loop(Model model, Targets make_targets, One one) {
    const std::size_t cols = GetParam().cols;
    EXPECT_EQ(chains(model, cols), cols <= kStackWeights);
    constexpr std::size_t kRows = 24;
    for (int batch = 0; batch < 5; ++batch) {
      std::vector<double> values(kRows * cols);
      for (double& x : values) x = signed_zero_mix(gen_);
      const auto y = make_targets(kRows, batch == 2);
      if (batch == 2) values[(kRows / 2) * cols + cols / 2] = 1e308;
      if (batch == 3) values[(kRows / 2) * cols + cols - 1] = kNaN;
      for (std::size_t gap : {0, 3}) {
        std::vector<double> storage((cols + gap) * kRows, kNaN);
        for (std::size_t r = 0; r < kRows; ++r)
          std::copy_n(values.data() + r * cols, cols, storage.data() + r * (cols + gap));
        const Rows rows{storage.data(), kRows, cols, cols + gap, nullptr};
        expect_bulk_matches_loop(
            model, rows, [&](Model& m, const Rows& r) { return learn_many(m, r, y); },
            [&](Model& m, std::span<const double> x, std::size_t i) { return one(m, x, y[i]); });
      }
      Model next = model;
      if (learn_many(next, dense(values, cols), y)) model = next;
      else EXPECT_GE(batch, 2);
    }
  }

  // With `far`, a target far off makes the gradient of the row whose
  // feature is 1e308 overflow its weight.
  std::vector<double> targets(std::size_t n, bool far) {
    std::vector<double> y(n);
    for (double& t : y) t = signed_zero_mix(gen_);
    if (far) y[n / 2] = -1e300;
    return y;
  }

  std::vector<std::uint8_t> flags(std::size_t n, bool) {
    std::vector<std::uint8_t> f(n);
    for (auto& t : f) t = static_cast<std::uint8_t>(gen_() & 1);
    return f;
  }

  std::mt19937_64 gen_{GetParam().cols * 6 + (std::signbit(GetParam().l2) ? 3 : 0) +
                       (GetParam().l2 > 0 ? 1 : 0) + (GetParam().huber ? 2 : 0)};
};

TEST_P(ChainedLearnMany, LinearRegressionMatchesTheLoop) {
  expect_batches_match_loop(
      start<LinearRegression>(), [this](std::size_t n, bool far) { return targets(n, far); },
      [](LinearRegression& m, std::span<const double> x, double y) { return m.learn_one(x, y); });
}

TEST_P(ChainedLearnMany, LogisticRegressionMatchesTheLoop) {
  expect_batches_match_loop(
      start<LogisticRegression>(), [this](std::size_t n, bool far) { return flags(n, far); },
      [](LogisticRegression& m, std::span<const double> x, std::uint8_t y) {
        return m.learn_one(x, y != 0);
      });
}

INSTANTIATE_TEST_SUITE_P(WidthsAndPenalties, ChainedLearnMany, ::testing::ValuesIn(chain_shapes()),
                         named([](const ChainShape& c) {
                           return words("cols", c.cols, "l2", c.l2, c.huber ? "huber" : "squared");
                         }));

// The model's counter or the optimizer's reaching its last value mid-call:
// the row that would pass it fails as in the loop, and nothing changes; a
// call that ends exactly at the last value succeeds.
TEST(ChainedLearnMany, CountersAtTheirLastValue) {
  const std::vector<double> data{1.0, 2.0, -0.0, 0.5, 3.0, -1.0, 0.25, 0.0, 2.0, 1.0};
  const std::vector<double> y{1.0, -2.0, 0.0, 4.0, -0.0};
  const std::vector<std::uint8_t> f{1, 0, 0, 1, 1};
  for (std::size_t rows : {2, 5}) {
    const Rows r{data.data(), rows, 2, 2, nullptr};
    for (bool optimizer_counter : {false, true}) {
      auto near_limit = [&](auto m) {
        (optimizer_counter ? std::get<Sgd>(m.optimizer.variant).samples_seen : m.samples_seen) =
            kMaxCount - 2;
        EXPECT_TRUE(chains(m, 2));
        return m;
      };
      expect_bulk_matches_loop(
          near_limit(*LinearRegression::with_sgd(2, 0.125)), r,
          [&](LinearRegression& m, const Rows& rs) { return learn_many(m, rs, y); },
          [&](LinearRegression& m, std::span<const double> x, std::size_t i) { return m.learn_one(x, y[i]); });
      expect_bulk_matches_loop(
          near_limit(*LogisticRegression::with_sgd(2, 0.125)), r,
          [&](LogisticRegression& m, const Rows& rs) { return learn_many(m, rs, f); },
          [&](LogisticRegression& m, std::span<const double> x, std::size_t i) {
            return m.learn_one(x, f[i] != 0);
          });
    }
  }
}

}  // namespace
}  // namespace drel
