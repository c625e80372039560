// Streaming metrics: exact sums, the score tree behind ROC AUC, merges of a
// split stream, rolling windows and snapshots.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <span>
#include <vector>

#include "metrics/exact_sum.hpp"
#include "metrics/metric_bulk.hpp"
#include "metrics/rolling_metric.hpp"
#include "snapshot/snapshot.hpp"
#include "test_support.hpp"

namespace drel {
namespace {

using test::bits;
using test::error_text;

TEST(ExactSum, RoundsOnceAndRemovesExactly) {
  ExactSum s;
  s.add(1e308);
  s.add(1.0);
  s.add(-1e308);
  EXPECT_EQ(bits(s.value()), bits(1.0));
  s.add(0x1p-1074);
  s.add(0x1p-1074);
  EXPECT_EQ(bits(s.value()), bits(1.0));  // 1 + 2^-1073 rounds back to 1
  s.remove(1.0);
  EXPECT_EQ(bits(s.value()), bits(0x1p-1073));
  s.remove(0x1p-1074);
  s.remove(0x1p-1074);
  EXPECT_TRUE(s.is_zero());
  EXPECT_EQ(bits(s.value()), bits(0.0));
}

TEST(ExactSum, TiesRoundToEvenWithStickyBits) {
  ExactSum s;
  s.add(1.0);
  s.add(0x1p-53);  // exactly half an ulp: ties to even, stays 1
  EXPECT_EQ(bits(s.value()), bits(1.0));
  s.add(0x1p-200);  // now above the tie
  EXPECT_EQ(bits(s.value()), bits(std::nextafter(1.0, 2.0)));
  ExactSum t;
  t.add(-1.0);
  t.add(-0x1p-53);
  t.add(-0x1p-200);
  EXPECT_EQ(bits(t.value()), bits(-std::nextafter(1.0, 2.0)));
}

TEST(ExactSum, OrderIndependentAndMergeable) {
  std::mt19937_64 rng(7);
  std::vector<double> xs;
  for (int i = 0; i < 2000; ++i) {
    const double scale = std::ldexp(1.0, static_cast<int>(rng() % 400) - 200);
    xs.push_back((static_cast<double>(rng() % 1000000) - 500000.0) * scale);
  }
  ExactSum forward, backward, left, right;
  for (double x : xs) forward.add(x);
  for (auto it = xs.rbegin(); it != xs.rend(); ++it) backward.add(*it);
  for (std::size_t i = 0; i < xs.size(); ++i) (i % 3 == 0 ? left : right).add(xs[i]);
  left.add(right);
  EXPECT_EQ(bits(forward.value()), bits(backward.value()));
  EXPECT_TRUE(forward == backward);
  EXPECT_TRUE(forward == left);
  // Against a long double sum of the same terms, which is close but rounded.
  long double approx = 0;
  for (double x : xs) approx += x;
  EXPECT_NEAR(forward.value(), static_cast<double>(approx), 1e-9 * std::fabs(forward.value()) + 1e-300);
}

// Terms gathered in exponent bins and flushed sum as add() of each does.
TEST(ExponentBins, SumAsExactly) {
  std::mt19937_64 rng(11);
  ExponentBins bins;
  ExponentBins::Range range;
  ExactSum binned, added;
  for (int round = 0; round < 3; ++round) {
    for (std::size_t i = 0; i < ExponentBins::kCapacity; ++i) {
      // Zeros, subnormals and every exponent.
      const double x = rng() % 8 == 0 ? 0.0
                                      : static_cast<double>(rng() % 1000000) *
                                            std::ldexp(1.0, static_cast<int>(rng() % 2100) - 1100);
      bins.put(x, range);
      added.add(x);
    }
    bins.put(std::numeric_limits<double>::max(), range);  // the top bin
    added.add(std::numeric_limits<double>::max());
    bins.flush_into(binned, range);
    EXPECT_TRUE(binned == added);
  }
  // Dropped terms, a non-finite one among them, leave nothing behind.
  bins.put(3.0, range);
  bins.put(std::numeric_limits<double>::infinity(), range);
  bins.clear(range);
  bins.put(0.5, range);
  bins.flush_into(binned, range);
  added.add(0.5);
  EXPECT_TRUE(binned == added);
}

TEST(ExactSum, BeyondTheDoubleRangeStaysExact) {
  ExactSum s;
  for (int i = 0; i < 4; ++i) s.add(std::numeric_limits<double>::max());
  EXPECT_TRUE(std::isinf(s.value()));
  EXPECT_EQ(bits(s.divided_by(4)), bits(std::numeric_limits<double>::max()));
  for (int i = 0; i < 3; ++i) s.remove(std::numeric_limits<double>::max());
  EXPECT_EQ(bits(s.value()), bits(std::numeric_limits<double>::max()));
}

// add_many folds per-exponent bins into the cells: the same sum as one add
// per term, over subnormals, zeros, the largest doubles (a bin near its limit
// and the carry of many folds) and blocks of every length around its chunk.
TEST(ExactSum, AddManyEqualsOneAddPerTerm) {
  std::mt19937_64 rng(7);
  std::vector<double> terms;
  for (int i = 0; i < 20000; ++i) {
    const double pick[] = {0.0, -0.0, 0x1p-1074, 0x1.fffffffffffffp-1023,
                           std::numeric_limits<double>::max(), 1.0};
    if (i % 7 == 0) {
      terms.push_back(pick[rng() % 6]);
    } else {
      const double unit = std::ldexp(static_cast<double>(rng() >> 11), -53);
      terms.push_back(std::ldexp(unit, static_cast<int>(rng() % 2000) - 1000));
    }
  }
  for (const std::size_t length : {std::size_t{0}, std::size_t{3}, std::size_t{4095},
                                   std::size_t{4096}, std::size_t{4097}, terms.size()}) {
    ExactSum one_by_one, many;
    one_by_one.add(-2.5);  // a state to add to, of the other sign
    many.add(-2.5);
    for (std::size_t i = 0; i < length; ++i) one_by_one.add(terms[i]);
    many.add_many(std::span<const double>(terms.data(), length));
    EXPECT_EQ(one_by_one, many) << length;
    EXPECT_EQ(bits(one_by_one.value()), bits(many.value())) << length;
  }
  // A bin taking 1024 of the widest significand, twice over.
  const std::vector<double> widest(8192, std::numeric_limits<double>::max());
  ExactSum one_by_one, many;
  for (const double x : widest) one_by_one.add(x);
  many.add_many(widest);
  EXPECT_EQ(one_by_one, many);
}

TEST(ExactSum, DigitsRoundTripAndRefuseNonCanonicalForms) {
  ExactSum s;
  s.add(-3.5e100);
  s.add(0x1p-1074);
  const auto d = s.digits();
  EXPECT_TRUE(d.negative);
  const auto back = ExactSum::from_digits(d);
  ASSERT_TRUE(back.has_value());
  EXPECT_TRUE(*back == s);
  auto bad = d;
  bad.digits.push_back(0);  // a trailing zero digit
  EXPECT_FALSE(ExactSum::from_digits(bad).has_value());
  bad = d;
  bad.digits[0] = 1ull << 32;
  EXPECT_FALSE(ExactSum::from_digits(bad).has_value());
  EXPECT_FALSE(ExactSum::from_digits({true, 0, {}}).has_value());
  EXPECT_FALSE(ExactSum::from_digits({false, 69, {1}}).has_value());
}

// ---- regression ----------------------------------------------------------

TEST(RegressionMetrics, ValuesOfAShortStream) {
  const double y[] = {3.0, -0.5, 2.0, 7.0};
  const double p[] = {2.5, 0.0, 2.0, 8.0};
  MeanAbsoluteError mae;
  MeanSquaredError mse;
  RootMeanSquaredError rmse;
  R2 r2;
  EXPECT_FALSE(mae.value().has_value());
  EXPECT_FALSE(r2.value().has_value());
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(mae.update(y[i], p[i]));
    ASSERT_TRUE(mse.update(y[i], p[i]));
    ASSERT_TRUE(rmse.update(y[i], p[i]));
    ASSERT_TRUE(r2.update(y[i], p[i]));
  }
  EXPECT_EQ(*mae.value(), 0.5);
  EXPECT_EQ(*mse.value(), 0.375);
  EXPECT_EQ(*rmse.value(), std::sqrt(0.375));
  // scikit-learn's r2_score documentation example: 0.948...
  EXPECT_NEAR(*r2.value(), 0.9486081370449679, 1e-15);
}

TEST(RegressionMetrics, RejectedSamplesChangeNothing) {
  MeanSquaredError mse;
  R2 r2;
  ASSERT_TRUE(mse.update(1.0, 2.0));
  ASSERT_TRUE(r2.update(1.0, 2.0));
  EXPECT_EQ(error_text(mse.update(test::kNaN, 1.0)), "non-finite value for `y_true`: NaN");
  EXPECT_EQ(error_text(mse.update(1.0, test::kInf)), "non-finite value for `y_pred`: inf");
  EXPECT_EQ(error_text(mse.update(1.7e308, -1.7e308)).substr(0, 37),
            "non-finite value for `prediction erro");
  EXPECT_EQ(error_text(mse.update(1e200, -1e200)).substr(0, 35), "non-finite value for `squared error");
  EXPECT_FALSE(r2.update(1e200, -1e200));
  EXPECT_EQ(mse.count, 1u);
  EXPECT_EQ(*mse.value(), 1.0);
  EXPECT_EQ(r2.count, 1u);
  EXPECT_EQ(r2.target_mean, 1.0);
}

TEST(RegressionMetrics, ConstantTargetsFollowScikitLearn) {
  R2 perfect, imperfect;
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(perfect.update(2.0, 2.0));
    ASSERT_TRUE(imperfect.update(2.0, 2.5));
  }
  EXPECT_EQ(*perfect.value(), 1.0);
  EXPECT_EQ(*imperfect.value(), 0.0);
}

// ---- classification --------------------------------------------------------

TEST(ConfusionMetrics, SharedCountsAndZeroDivision) {
  Accuracy acc;
  Precision prec;
  Recall rec;
  F1 f1;
  const bool y[] = {true, false, true, true, false};
  const bool p[] = {true, true, false, true, false};
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(acc.update(y[i], p[i]));
    ASSERT_TRUE(prec.update(y[i], p[i]));
    ASSERT_TRUE(rec.update(y[i], p[i]));
    ASSERT_TRUE(f1.update(y[i], p[i]));
  }
  EXPECT_EQ(*acc.value(), 3.0 / 5.0);
  EXPECT_EQ(*prec.value(), 2.0 / 3.0);
  EXPECT_EQ(*rec.value(), 2.0 / 3.0);
  EXPECT_EQ(*f1.value(), 4.0 / 6.0);
  Precision none;
  ASSERT_TRUE(none.update(true, false));
  EXPECT_EQ(*none.value(), 0.0);
  EXPECT_FALSE(Precision{}.value().has_value());
}

TEST(LogLoss, ClampsAndChecksProbabilities) {
  LogLoss loss;
  ASSERT_TRUE(loss.update(true, 1.0));
  ASSERT_TRUE(loss.update(false, 1.0));
  EXPECT_EQ(bits(*loss.value()), bits((-std::log(1.0 - 1e-15) - std::log(1.0 - (1.0 - 1e-15))) / 2.0));
  EXPECT_EQ(error_text(loss.update(true, 1.5)), "invalid probability: 1.5 (must be in [0, 1])");
  EXPECT_EQ(error_text(loss.update(true, -0.0 - 1e-300)).substr(0, 20), "invalid probability:");
  EXPECT_EQ(error_text(loss.update(true, test::kNaN)), "non-finite value for `y_pred`: NaN");
  EXPECT_EQ(loss.count, 2u);
}

// ---- ROC AUC ---------------------------------------------------------------

// The AUC of all pairs, counted directly: the definition.
double pairwise_auc(const std::vector<bool>& y, const std::vector<double>& s) {
  double ordered = 0, pairs = 0;
  for (std::size_t i = 0; i < y.size(); ++i)
    for (std::size_t j = 0; j < y.size(); ++j)
      if (y[i] && !y[j]) {
        pairs += 1;
        ordered += s[i] > s[j] ? 1.0 : s[i] == s[j] ? 0.5 : 0.0;
      }
  return ordered / pairs;
}

struct Stream {
  std::vector<bool> y;
  std::vector<double> s;
};

Stream random_stream(std::uint64_t seed, std::size_t n, int distinct) {
  std::mt19937_64 rng(seed);
  Stream out;
  for (std::size_t i = 0; i < n; ++i) {
    const double score = static_cast<double>(rng() % static_cast<std::uint64_t>(distinct)) / 7.0;
    out.s.push_back(rng() % 5 == 0 ? -0.0 : score);
    out.y.push_back((rng() % 3 == 0) != (score > 3.0));
  }
  return out;
}

TEST(RocAuc, EqualsThePairCountWithTiesAsHalves) {
  for (int distinct : {1, 3, 50, 100000}) {
    const Stream st = random_stream(static_cast<std::uint64_t>(distinct), 400, distinct);
    RocAuc auc;
    for (std::size_t i = 0; i < st.y.size(); ++i) ASSERT_TRUE(auc.update(st.y[i], st.s[i]));
    EXPECT_DOUBLE_EQ(*auc.value(), pairwise_auc(st.y, st.s)) << distinct;
    EXPECT_LE(auc.scores.distinct(), static_cast<std::size_t>(distinct) + 1);
  }
  RocAuc one_class;
  ASSERT_TRUE(one_class.update(true, 0.3));
  EXPECT_FALSE(one_class.value().has_value());
  EXPECT_EQ(error_text(one_class.update(true, test::kNaN)), "non-finite value for `y_pred`: NaN");
  EXPECT_EQ(one_class.count(), 1u);
}

// Splitting a stream anywhere and merging the parts gives the whole stream's
// state exactly, for every metric.
template <class M>
class MetricMerge : public ::testing::Test {};
using AllMetrics = ::testing::Types<MeanAbsoluteError, MeanSquaredError, RootMeanSquaredError,
                                    Accuracy, F1, LogLoss, RocAuc>;
TYPED_TEST_SUITE(MetricMerge, AllMetrics);

// Sample i of a stream as metric M takes it.
template <class M>
std::pair<typename M::Truth, typename M::Prediction> sample(const Stream& st, std::size_t i) {
  if constexpr (std::is_same_v<typename M::Truth, double>) {
    return {st.s[i], st.y[i] ? 1.5 : -0.25};
  } else if constexpr (std::is_same_v<typename M::Prediction, bool>) {
    return {st.y[i], st.s[i] > 1.0};
  } else {
    return {st.y[i], std::min(st.s[i] / 20.0, 1.0)};
  }
}

template <class M>
struct Underlying { using type = M; };
template <class M>
struct Underlying<Rolling<M>> { using type = M; };

template <class M>
Status feed(M& m, const Stream& st, std::size_t from, std::size_t to) {
  for (std::size_t i = from; i < to; ++i) {
    const auto [t, p] = sample<typename Underlying<M>::type>(st, i);
    DREL_TRY(m.update(t, p));
  }
  return {};
}

TYPED_TEST(MetricMerge, SplitThenMergedEqualsWhole) {
  const Stream st = random_stream(3, 300, 40);
  TypeParam whole;
  ASSERT_TRUE(feed(whole, st, 0, 300));
  for (std::size_t cut : {0u, 1u, 150u, 299u, 300u}) {
    TypeParam a, b;
    ASSERT_TRUE(feed(a, st, 0, cut));
    ASSERT_TRUE(feed(b, st, cut, 300));
    ASSERT_TRUE(a.merge(b));
    EXPECT_EQ(bits(*a.value()), bits(*whole.value())) << cut;
    EXPECT_EQ(to_snapshot_json(a), to_snapshot_json(whole)) << cut;
  }
}

TEST(R2Merge, ParallelMomentsWithinRounding) {
  const Stream st = random_stream(11, 500, 1000);
  R2 whole, a, b;
  ASSERT_TRUE(feed(whole, st, 0, 500));
  ASSERT_TRUE(feed(a, st, 0, 123));
  ASSERT_TRUE(feed(b, st, 123, 500));
  ASSERT_TRUE(a.merge(b));
  EXPECT_EQ(a.count, whole.count);
  EXPECT_TRUE(a.squared_errors == whole.squared_errors);
  EXPECT_NEAR(*a.value(), *whole.value(), 1e-14);
}

// ---- rolling ---------------------------------------------------------------

// A window's state equals that of a fresh metric fed the window's samples.
template <class M>
class RollingExact : public ::testing::Test {};
using RolledMetrics = ::testing::Types<MeanAbsoluteError, RootMeanSquaredError, R2, Precision,
                                       LogLoss, RocAuc>;
TYPED_TEST_SUITE(RollingExact, RolledMetrics);

TYPED_TEST(RollingExact, WindowEqualsFreshMetricOfItsSamples) {
  const Stream st = random_stream(5, 200, 30);
  for (std::uint64_t window : {1u, 7u, 64u, 500u}) {
    auto rolling = *Rolling<TypeParam>::create(window);
    for (std::size_t i = 0; i < st.y.size(); ++i) {
      ASSERT_TRUE(feed(rolling, st, i, i + 1));
      const std::size_t from = i + 1 > window ? i + 1 - window : 0;
      auto fresh = *Rolling<TypeParam>::create(window);
      ASSERT_TRUE(feed(fresh, st, from, i + 1));
      const auto a = rolling.value(), b = fresh.value();
      ASSERT_EQ(a.has_value(), b.has_value());
      if (a) {
        ASSERT_EQ(bits(*a), bits(*b)) << window << " " << i;
      }
    }
  }
}

TEST(Rolling, RefusesAnEmptyWindowAndKeepsStateOnRejection) {
  EXPECT_EQ(error_text(Rolling<MeanAbsoluteError>::create(0)),
            "invalid window size: must be greater than zero");
  auto r = *Rolling<LogLoss>::create(2);
  ASSERT_TRUE(r.update(true, 0.5));
  ASSERT_TRUE(r.update(false, 0.25));
  const std::string before = to_snapshot_json(RollingMetric{r});
  EXPECT_FALSE(r.update(true, 2.0));
  EXPECT_EQ(to_snapshot_json(RollingMetric{r}), before);
}

// ---- snapshots -------------------------------------------------------------

TEST(MetricSnapshots, RoundTripExactly) {
  const Stream st = random_stream(9, 100, 20);
  RocAuc auc;
  MeanSquaredError mse;
  R2 r2;
  ASSERT_TRUE(feed(auc, st, 0, 100));
  ASSERT_TRUE(feed(mse, st, 0, 100));
  ASSERT_TRUE(feed(r2, st, 0, 100));
  const std::string auc_json = to_snapshot_json(auc);
  const auto auc_back = load_snapshot<RocAuc>(auc_json);
  ASSERT_TRUE(auc_back.has_value());
  EXPECT_EQ(auc_back->twice_ordered_pairs, auc.twice_ordered_pairs);
  EXPECT_EQ(to_snapshot_json(*auc_back), auc_json);
  const auto mse_back = load_snapshot<MeanSquaredError>(to_snapshot_json(mse));
  ASSERT_TRUE(mse_back.has_value());
  EXPECT_EQ(bits(*mse_back->value()), bits(*mse.value()));
  const auto r2_back = load_snapshot<R2>(to_snapshot_json(r2));
  ASSERT_TRUE(r2_back.has_value());
  EXPECT_EQ(bits(*r2_back->value()), bits(*r2.value()));

  auto window = *Rolling<RocAuc>::create(30);
  ASSERT_TRUE(feed(window, st, 0, 100));
  const std::string rolling_json = to_snapshot_json(RollingMetric{window});
  EXPECT_NE(rolling_json.find("{\"ROCAUC\":{\"window\":30,"), std::string::npos);
  const auto rolling_back = load_snapshot<RollingMetric>(rolling_json);
  ASSERT_TRUE(rolling_back.has_value());
  EXPECT_EQ(to_snapshot_json(*rolling_back), rolling_json);
}

TEST(MetricSnapshots, ShowTheirStateReadably) {
  MeanAbsoluteError mae;
  ASSERT_TRUE(mae.update(1.0, 0.0));
  EXPECT_EQ(to_snapshot_json(mae),
            "{\"format_version\":1,\"model\":{\"count\":1,\"sum\":{\"negative\":false,"
            "\"first\":33,\"digits\":[262144]}}}");  // 1 = 2^18 * 2^(32*33-1074)
  Accuracy acc;
  ASSERT_TRUE(acc.update(true, false));
  EXPECT_EQ(to_snapshot_json(acc),
            "{\"format_version\":1,\"model\":{\"confusion\":{\"true_positives\":0,"
            "\"false_positives\":0,\"true_negatives\":0,\"false_negatives\":1}}}");
}

struct BadDocument {
  const char* json;
  const char* message;
};

template <class M>
std::string load_message(const char* json) {
  const auto r = load_snapshot<M>(json);
  return r ? "<loaded>" : r.error().message();
}

TEST(MetricSnapshots, StrictReaderRefusesImpossibleStates) {
  EXPECT_EQ(load_message<RocAuc>(
                R"({"format_version":1,"model":{"scores":[0.5,0.25],"positives":[1,1],"negatives":[0,0]}})"),
            "invalid model state: a score table's scores are not increasing at line 1 column 85");
  EXPECT_EQ(load_message<RocAuc>(
                R"({"format_version":1,"model":{"scores":[0.5],"positives":[0],"negatives":[0]}})"),
            "invalid model state: a score table holds a score without samples at line 1 column 76");
  EXPECT_NE(load_message<MeanAbsoluteError>(
                R"({"format_version":1,"model":{"count":0,"sum":{"negative":false,"first":0,"digits":[1]}}})"),
            "<loaded>");
  EXPECT_NE(load_message<MeanAbsoluteError>(
                R"({"format_version":1,"model":{"count":1,"sum":{"negative":true,"first":0,"digits":[1]}}})"),
            "<loaded>");
  EXPECT_NE(load_message<RollingMetric>(
                R"({"format_version":1,"model":{"F1":{"window":1,"truths":[1,0],"predictions":[1,0]}}})"),
            "<loaded>");
  EXPECT_NE(load_message<RollingMetric>(
                R"({"format_version":1,"model":{"F1":{"window":3,"truths":[0.5],"predictions":[1]}}})"),
            "<loaded>");
  EXPECT_EQ(load_message<RollingMetric>(
                R"({"format_version":1,"model":{"AUC":{"window":3,"truths":[],"predictions":[]}}})"),
            "unknown variant `AUC`, expected one of `MAE`, `MSE`, `RMSE`, `R2`, `Accuracy`, "
            "`Precision`, `Recall`, `F1`, `LogLoss`, `ROCAUC` at line 1 column 34");
  EXPECT_NE(load_message<R2>(
                R"({"format_version":1,"model":{"count":0,"target_mean":1,"target_m2":0,"squared_errors":{"negative":false,"first":0,"digits":[]}}})"),
            "<loaded>");
}

}  // namespace
}  // namespace drel

namespace drel {
namespace {

// update_many over arrays: the one-sample loop's state, or on a failing row
// the state before the call and that row's error.
template <class M>
class MetricBulk : public ::testing::Test {};
using BulkMetrics = ::testing::Types<MeanAbsoluteError, R2, F1, LogLoss, RocAuc,
                                     Rolling<RocAuc>, Rolling<MeanSquaredError>>;
TYPED_TEST_SUITE(MetricBulk, BulkMetrics);

TYPED_TEST(MetricBulk, EqualsTheLoopAndUndoesAFailingRow) {
  using Metric = typename Underlying<TypeParam>::type;
  const Stream st = random_stream(13, 120, 25);
  std::vector<ColumnOf<typename Metric::Truth>> truths;
  std::vector<ColumnOf<typename Metric::Prediction>> predictions;
  for (std::size_t i = 0; i < st.y.size(); ++i) {
    const auto [t, p] = sample<Metric>(st, i);
    truths.push_back(static_cast<ColumnOf<typename Metric::Truth>>(t));
    predictions.push_back(static_cast<ColumnOf<typename Metric::Prediction>>(p));
  }
  TypeParam loop = [] {
    if constexpr (requires { TypeParam::create(5); }) return *TypeParam::create(5);
    else return TypeParam{};
  }();
  TypeParam bulk = loop;
  ASSERT_TRUE(feed(loop, st, 0, 60));
  ASSERT_TRUE(update_many(bulk, std::span(truths).first(60), std::span(predictions).first(60)));
  const auto same = [](const auto& a, const auto& b) {
    const auto va = a.value(), vb = b.value();
    return va.has_value() == vb.has_value() && (!va || bits(*va) == bits(*vb));
  };
  EXPECT_TRUE(same(loop, bulk));
  const auto before = bulk;
  if constexpr (!std::is_same_v<typename Metric::Prediction, bool>) {
    predictions[100] = test::kNaN;
    const BulkStatus refused =
        update_many(bulk, std::span(truths).subspan(60), std::span(predictions).subspan(60));
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().row, 40u);
    EXPECT_EQ(refused.error().error.message(), "non-finite value for `y_pred`: NaN");
    EXPECT_TRUE(same(bulk, before));
    const auto count = [](const auto& m) {
      if constexpr (requires { m.count(); }) return m.count(); else return m.count;
    };
    EXPECT_EQ(count(bulk), count(before));
  }
}

}  // namespace
}  // namespace drel
