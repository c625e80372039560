// Progressive validation: for each row, the model's prediction before it
// learns the row, every metric updated with that prediction, then the model
// learns the row. It is, bit for bit, the loop
//
//     p = model.predict_one(x); metric.update(y, p); model.learn_one(x, y)
//
// (predict_proba_one for a classifier; metrics of bool predictions take
// p >= 0.5, which is predict_one's class).
//
// With a delay d, a row's label arrives d rows after the row: the prediction
// of row t is made when x_t arrives, and row t is scored and learned right
// after the prediction of row t + d (the last rows' labels arrive in order
// after the last prediction). d = 0 is the loop above.
#pragma once

#include <cstddef>
#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <type_traits>
#include <variant>
#include <vector>

#include "bulk/bulk.hpp"
#include "linear/chained_steps.hpp"
#include "linear/linear_regression.hpp"
#include "linear/logistic_regression.hpp"
#include "metrics/metric_bulk.hpp"
#include "metrics/rolling_metric.hpp"
#include "metrics/row_tally.hpp"
#include "pipeline/pipeline.hpp"

namespace drel {

#define DREL_METRIC_TYPE_(Core, Name) Core,
// Any metric, by value.
using AnyMetric = std::variant<DREL_METRICS(DREL_METRIC_TYPE_) RollingMetric>;
#undef DREL_METRIC_TYPE_

// What a model predicts and learns from: real targets and predictions, or
// bool targets and probabilities.
template <class Model>
inline constexpr bool is_classifier =
    std::is_same_v<Model, LogisticRegression> || std::is_same_v<Model, ClassificationPipeline>;

template <class M>
inline constexpr bool scores_classes = std::is_same_v<typename M::Truth, bool>;

// True when the metric takes what a model of this kind predicts.
bool metric_scores_classes(const AnyMetric& metric);

// The scored rows not yet given to the metrics: truths and predictions (a
// probability for a classifier).
template <class TargetColumn>
struct ScoredRows {
  std::vector<TargetColumn> truths;
  std::vector<double> predictions;
  std::uint64_t first_row = 0;  // the stream row of the first of them

  void clear() {
    truths.clear();
    predictions.clear();
  }
};

// Gives scored rows to one metric, in order; the first failing row. For a
// classifier, `classes` holds the class each prediction stands for.
template <class TargetColumn>
BulkStatus score_rows(AnyMetric& metric, std::span<const TargetColumn> truths,
                      std::span<const double> predictions, std::span<const std::uint8_t> classes) {
  constexpr bool classifier = std::is_same_v<TargetColumn, std::uint8_t>;
  const auto one = [&]<class M>(M& m) -> BulkStatus {
    if constexpr (scores_classes<M> != classifier) {
      return std::unexpected(
          RowError{0, Error::invalid_model_state("a metric of the other kind of model")});
    } else if constexpr (std::is_same_v<typename M::Prediction, bool>) {
      return update_each(m, truths, classes);
    } else {
      return update_each(m, truths, predictions);
    }
  };
  return std::visit(
      [&]<class M>(M& m) -> BulkStatus {
        if constexpr (std::is_same_v<M, RollingMetric>) {
          return std::visit(one, m.variant);
        } else {
          return one(m);
        }
      },
      metric);
}

std::optional<double> metric_value(const AnyMetric& metric);

// When to read the metrics: every `every` scored rows (0: never) and at the
// given counts of scored rows (increasing).
struct Checkpoints {
  std::uint64_t every = 0;
  std::span<const std::uint64_t> at;
};

template <class Model>
class ProgressiveValidation {
 public:
  using Target = std::conditional_t<is_classifier<Model>, bool, double>;
  using TargetColumn = std::conditional_t<is_classifier<Model>, std::uint8_t, double>;
  // Whether the model has the step that predicts and learns a sample at once.
  static constexpr bool kFused = requires(Model& m, std::span<const double> x, Target y,
                                          double& p) {
    predict_learn_step<Commit::CheckThenWrite>(m, x, y, p);
  };

  ProgressiveValidation(Model& model, std::span<AnyMetric> metrics, std::size_t delay,
                        Checkpoints checkpoints)
      : model_(model), metrics_(metrics), delay_(delay), checkpoints_(checkpoints) {}

  // Rows [first, first + count) of the stream; `predictions` holds one
  // output per row of these.
  BulkStatus run(const Rows& rows, std::span<const TargetColumn> y, std::size_t first,
                 std::span<double> predictions) {
    if constexpr (kFused) {
      if (delay_ == 0) return run_fused(rows, y, first, predictions);
    }
    for (std::size_t i = 0; i < rows.count; ++i) {
      const std::size_t row = first + i;
      const std::span<const double> x = rows.row(i);
      if (delay_ == 0) {
        DREL_TRY(separately(row, x, static_cast<Target>(y[i]), predictions[i]));
        continue;
      }
      Result<double> p = predict(x);
      if (!p) [[unlikely]] return fail_after_scoring(RowError{row, std::move(p).error()});
      predictions[i] = *p;
      const Target target = static_cast<Target>(y[i]);
      if (pending_.size() == delay_) {
        Pending& oldest = pending_[head_];
        DREL_TRY(answer(oldest.row, oldest.x, oldest.y, oldest.p));
        oldest.x.assign(x.begin(), x.end());
        oldest.y = target;
        oldest.p = *p;
        oldest.row = row;
        head_ = head_ + 1 == delay_ ? 0 : head_ + 1;
      } else {
        pending_.push_back({std::vector<double>(x.begin(), x.end()), target, *p, row});
      }
    }
    // The metrics take a block's scored rows at once, without a dispatch per row.
    return score_pending();
  }

  // The labels still waiting arrive, oldest first.
  BulkStatus finish() {
    for (std::size_t k = 0; k < pending_.size(); ++k) {
      const Pending& p = pending_[(head_ + k) % pending_.size()];
      DREL_TRY(answer(p.row, p.x, p.y, p.p));
    }
    pending_.clear();
    return score_pending();
  }

  // Without a delay, a bare linear model predicts and learns each row in one
  // step. With plain SGD and rows of one width, the steps run chained
  // (chained_steps). Up to two metrics with a tally take each row inside the
  // loop; the other metrics take the rows where they are afterwards.
  BulkStatus run_fused(const Rows& rows, std::span<const TargetColumn> y, std::size_t first,
                       std::span<double> predictions) {
    const bool chained = rows.offsets == nullptr && chains(model_, rows.cols);
    return with_tallies(rows.count, [&](auto&... tallies) {
      const auto fast = [&](std::size_t i, std::size_t stop) {
        const auto observe = [&]([[maybe_unused]] TargetColumn t, [[maybe_unused]] double p)
                                 __attribute__((always_inline)) { (tallies.take(t, p), ...); };
        std::size_t end = i;
        if (chained) {
          end += chained_steps(model_, rows.data + i * rows.row_stride, rows.row_stride,
                               y.data() + i, stop - i, predictions.data() + i, observe);
        } else {
          for (; end < stop; ++end) {
            double p;
            if (predict_learn_step<Commit::CheckThenWrite>(model_, rows.row(end),
                                                           static_cast<Target>(y[end]),
                                                           p) != StepOutcome::Done) [[unlikely]]
              break;
            predictions[end] = p;
            observe(y[end], p);
          }
        }
        return end;
      };
      return run_segments(rows, y, first, predictions, fast, tallies...);
    });
  }

  // The scored-row counts read, and the metrics' values there, checkpoint
  // after checkpoint (metrics_.size() values each).
  const std::vector<std::uint64_t>& read_at() const { return read_at_; }
  const std::vector<std::optional<double>>& values() const { return values_; }

 private:
  struct Pending {
    std::vector<double> x;
    Target y;
    double p;
    std::size_t row;
  };

  // Rows up to the next checkpoint at a time go through `fast(i, stop)`,
  // which learns rows [i, stop) until one its step defers and returns where
  // it stopped; then they go to the metrics (the tallies took them already),
  // after any queued before. A deferred row is decided by the separate calls.
  template <class Fast, class... Tally>
  BulkStatus run_segments(const Rows& rows, std::span<const TargetColumn> y, std::size_t first,
                          std::span<double> predictions, Fast fast, Tally&... tallies) {
    std::size_t i = 0;
    while (i < rows.count) {
      std::uint64_t room = std::min<std::uint64_t>(rows.count - i, until_due());
      if constexpr (sizeof...(Tally) > 0) room = std::min<std::uint64_t>(room, ExponentBins::kCapacity);
      const std::size_t stop = i + static_cast<std::size_t>(room);
      std::size_t j = fast(i, stop);
      if (j > i) {
        DREL_TRY(score_pending());
        DREL_TRY(settle(first + i, y.subspan(i, j - i), predictions.subspan(i, j - i), tallies...));
        DREL_TRY(count_learned(j - i));
      }
      if (j < stop) {
        DREL_TRY(separately(first + j, rows.row(j), static_cast<Target>(y[j]), predictions[j]));
        ++j;
      }
      i = j;
    }
    return score_pending();
  }

  // The tallies' rows go to their metrics, and the rows to the other
  // metrics. When a tally saw a check fail, every metric takes the rows the
  // checked way instead, which names the first failure as the loop meets it.
  template <class... Tally>
  BulkStatus settle(std::uint64_t base, std::span<const TargetColumn> truths,
                    std::span<const double> predictions, Tally&... tallies) {
    if ((tallies.failed() || ...)) [[unlikely]] {
      (tallies.drop(), ...);
      return score(base, truths, predictions);
    }
    (tallies.commit(truths.size()), ...);
    const std::array<std::size_t, sizeof...(Tally)> tallied{tallies.index...};
    return score(base, truths, predictions, tallied);
  }

  // f(tallies...) with a tally for each of the first two metrics that have
  // one and whose counts take `rows` more rows (none, one or two): the loop
  // is compiled for each pair of tally kinds the metric list declares.
  template <class F>
  BulkStatus with_tallies(std::size_t rows, F&& f) {
    std::array<std::size_t, 2> picked{};
    std::size_t found = 0;
    for (std::size_t k = 0; k < metrics_.size() && found < picked.size(); ++k) {
      const bool takes = std::visit(
          [&]<class M>(M& m) {
            using Tally = typename TallyFor<M, TargetColumn>::type;
            if constexpr (std::is_void_v<Tally>) {
              return false;
            } else {
              return Tally::fits(m, rows);
            }
          },
          metrics_[k]);
      if (takes) picked[found++] = k;
    }
    // Calls g with the tally of metric k (g() if it has none).
    const auto tally_of = [&](std::size_t k, ExponentBins& bins, auto&& g) -> BulkStatus {
      return std::visit(
          [&]<class M>(M& m) -> BulkStatus {
            using Tally = typename TallyFor<M, TargetColumn>::type;
            if constexpr (std::is_void_v<Tally>) {
              return g();
            } else {
              // The bins are left empty whatever happens.
              Tally tally(m, k, bins);
              BulkStatus done = g(tally);
              tally.drop();
              return done;
            }
          },
          metrics_[k]);
    };
    if (found == 0) return f();
    std::array<ExponentBins, 2>& bins = tally_bins();
    return tally_of(picked[0], bins[0], [&](auto&... one) -> BulkStatus {
      if (found == 1) return f(one...);
      return tally_of(picked[1], bins[1],
                      [&](auto&... two) -> BulkStatus { return f(one..., two...); });
    });
  }

  Result<double> predict(std::span<const double> x) const {
    if constexpr (is_classifier<Model>) {
      return model_.predict_proba_one(x);
    } else {
      return model_.predict_one(x);
    }
  }

  // Row `row` is scored (queued for the metrics) and learned. The metrics of
  // the loop would see a row before the model learns it: a learning failure
  // is reported after the queued rows are scored, so that a metric's failure
  // at this row or before comes first, as in the loop.
  BulkStatus answer(std::size_t row, std::span<const double> x, Target y, double p) {
    queue(row, y, p);
    if (Status s = model_.learn_one(x, y); !s) [[unlikely]]
      return fail_after_scoring(RowError{row, std::move(s).error()});
    return count_learned();
  }

  // Row `row` without a delay: predicted, then scored and learned.
  BulkStatus separately(std::size_t row, std::span<const double> x, Target y, double& out) {
    Result<double> p = predict(x);
    if (!p) [[unlikely]] return fail_after_scoring(RowError{row, std::move(p).error()});
    out = *p;
    return answer(row, x, y, *p);
  }

  void queue(std::size_t row, Target y, double p) {
    if (scored_rows_.truths.empty()) scored_rows_.first_row = row;
    scored_rows_.truths.push_back(static_cast<TargetColumn>(y));
    scored_rows_.predictions.push_back(p);
  }

  // Rows that can be learned before the next checkpoint is due (at least 1).
  std::uint64_t until_due() const {
    std::uint64_t left = std::numeric_limits<std::uint64_t>::max();
    if (checkpoints_.every != 0) left = checkpoints_.every - scored_ % checkpoints_.every;
    if (next_ < checkpoints_.at.size()) left = std::min(left, checkpoints_.at[next_] - scored_);
    return left;
  }

  // `learned` queued rows were learned, no more than until_due(): the
  // checkpoint the last one reaches is read.
  BulkStatus count_learned(std::uint64_t learned = 1) {
    scored_ += learned;
    const bool periodic = checkpoints_.every != 0 && scored_ % checkpoints_.every == 0;
    bool listed = false;
    while (next_ < checkpoints_.at.size() && checkpoints_.at[next_] <= scored_) {
      listed = listed || checkpoints_.at[next_] == scored_;
      ++next_;
    }
    if (periodic || listed) {
      DREL_TRY(score_pending());
      read_at_.push_back(scored_);
      for (const AnyMetric& metric : metrics_) values_.push_back(metric_value(metric));
    }
    return {};
  }

  // The queued rows to every metric; of the failures, the earliest row's, and
  // at one row the first metric's, as the loop would meet them.
  BulkStatus score_pending() {
    if (scored_rows_.truths.empty()) return {};
    const BulkStatus done = score(scored_rows_.first_row, scored_rows_.truths,
                                  scored_rows_.predictions);
    scored_rows_.clear();
    return done;
  }

  // Rows from stream row `base` on to every metric; of the failures, the
  // earliest row's, and at one row the first metric's.
  // Metrics listed in `taken` (tallied) are left out.
  BulkStatus score(std::uint64_t base, std::span<const TargetColumn> truths,
                   std::span<const double> predictions,
                   std::span<const std::size_t> taken = {}) {
    std::optional<RowError> first;
    bool classes = false;
    for (std::size_t k = 0; k < metrics_.size(); ++k) {
      if (std::ranges::find(taken, k) != taken.end()) continue;
      if (is_classifier<Model> && !classes) {
        classes_.resize(predictions.size());
        for (std::size_t r = 0; r < predictions.size(); ++r) classes_[r] = predictions[r] >= 0.5;
        classes = true;
      }
      AnyMetric& metric = metrics_[k];
      BulkStatus s = score_rows(metric, truths, predictions, std::span<const std::uint8_t>(classes_));
      if (!s && (!first || s.error().row < first->row)) first = std::move(s).error();
    }
    if (first) {
      first->row += base;
      return std::unexpected(std::move(*first));
    }
    return {};
  }

  // A model failure at a row: a metric's failure on the rows scored before it
  // comes first.
  BulkStatus fail_after_scoring(RowError failure) {
    DREL_TRY(score_pending());
    return std::unexpected(std::move(failure));
  }

  Model& model_;
  std::span<AnyMetric> metrics_;
  std::size_t delay_;
  Checkpoints checkpoints_;
  std::vector<Pending> pending_;
  std::size_t head_ = 0;
  std::uint64_t scored_ = 0;
  std::size_t next_ = 0;
  std::vector<std::uint64_t> read_at_;
  std::vector<std::optional<double>> values_;
  ScoredRows<TargetColumn> scored_rows_;
  std::vector<std::uint8_t> classes_;  // a classifier's predicted classes, while scored
};

}  // namespace drel
