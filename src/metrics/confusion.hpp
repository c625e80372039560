// Binary classification metrics over bool truths and bool predictions, all
// read from one confusion count. The counts are exact, so merges and
// removals are too.
#pragma once

#include <cstdint>
#include <optional>

#include "error/error.hpp"
#include "error/guards.hpp"
#include "merge/merge_rules.hpp"

namespace drel {

struct Confusion {
  std::uint64_t true_positives = 0;
  std::uint64_t false_positives = 0;
  std::uint64_t true_negatives = 0;
  std::uint64_t false_negatives = 0;

  std::uint64_t& cell(bool y_true, bool y_pred) {
    if (y_pred) return y_true ? true_positives : false_positives;
    return y_true ? false_negatives : true_negatives;
  }
  // The sample count; it can never exceed u64, as every update checks it.
  std::uint64_t count() const {
    return true_positives + false_positives + true_negatives + false_negatives;
  }

  [[nodiscard, gnu::always_inline]] inline Status update(bool y_true, bool y_pred) {
    DREL_TRY(checked_increment(count(), "metric sample"));
    ++cell(y_true, y_pred);
    return {};
  }
  void remove(bool y_true, bool y_pred) { --cell(y_true, y_pred); }
  // n more samples, of which `positives` true, `predicted` predicted true and
  // `both` both; the caller has checked that the count stays in range.
  void add_counts(std::uint64_t n, std::uint64_t both, std::uint64_t positives,
                  std::uint64_t predicted) {
    true_positives += both;
    false_positives += predicted - both;
    false_negatives += positives - both;
    true_negatives += n - positives - predicted + both;
  }
  [[nodiscard]] Status merge(const Confusion& other) {
    DREL_TRY(checked_sum(count(), other.count(), "metric sample"));
    true_positives += other.true_positives;
    false_positives += other.false_positives;
    true_negatives += other.true_negatives;
    false_negatives += other.false_negatives;
    return {};
  }
};

// Which quantity of the confusion count a metric reports. Precision, recall
// and F1 are 0 where their denominator is (as scikit-learn's default
// zero_division and river report); every value is absent before any sample.
enum class ConfusionRatio { Accuracy, Precision, Recall, F1 };

std::optional<double> confusion_ratio(const Confusion& c, ConfusionRatio ratio);

template <ConfusionRatio kRatio>
struct ConfusionMetric {
  using Truth = bool;
  using Prediction = bool;
  static constexpr ConfusionRatio ratio = kRatio;
  Confusion confusion;

  [[nodiscard, gnu::always_inline]] inline Status update(bool y_true, bool y_pred) {
    return confusion.update(y_true, y_pred);
  }
  void remove(bool y_true, bool y_pred) { confusion.remove(y_true, y_pred); }
  [[nodiscard]] Status merge(const ConfusionMetric& other) { return confusion.merge(other.confusion); }
  std::uint64_t count() const { return confusion.count(); }
  std::optional<double> value() const { return confusion_ratio(confusion, kRatio); }
};

using Accuracy = ConfusionMetric<ConfusionRatio::Accuracy>;
using Precision = ConfusionMetric<ConfusionRatio::Precision>;
using Recall = ConfusionMetric<ConfusionRatio::Recall>;
using F1 = ConfusionMetric<ConfusionRatio::F1>;

}  // namespace drel
