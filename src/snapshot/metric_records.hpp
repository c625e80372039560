// The snapshot records of the streaming metrics, in the style of every other
// record: keys in written order, each bound to its state field. Values whose
// memory form is not their written form (exact sums, score trees, windows)
// are written through a SnapshotForm.
#pragma once

#include <cstdint>
#include <variant>
#include <vector>

#include "metrics/rolling_metric.hpp"
#include "snapshot/record_fields.hpp"

namespace drel::snapshot {

template <>
struct RecordTraits<ExactSum::Digits> {
  using R = ExactSum::Digits;
  static constexpr std::string_view name = "ExactSum";
  static constexpr std::tuple fields{field("negative", &R::negative), field("first", &R::first),
                                     field("digits", &R::digits)};
};

template <>
struct SnapshotForm<ExactSum> {
  using Form = ExactSum::Digits;
  static Form to(const ExactSum& sum) { return sum.digits(); }
  static Result<ExactSum> from(const Form& form) {
    if (auto sum = ExactSum::from_digits(form)) return *sum;
    return fail(Error::invalid_model_state("an exact sum's digits are not in canonical form"));
  }
};

template <class M>
struct ErrorSumTraits {
  static constexpr std::tuple fields{field<M, std::uint64_t>("count", &M::count),
                                     field<M, ExactSum>("sum", &M::sum)};
};

template <>
struct RecordTraits<MeanAbsoluteError> : ErrorSumTraits<MeanAbsoluteError> {
  static constexpr std::string_view name = "MeanAbsoluteError";
};
template <>
struct RecordTraits<MeanSquaredError> : ErrorSumTraits<MeanSquaredError> {
  static constexpr std::string_view name = "MeanSquaredError";
};
template <>
struct RecordTraits<RootMeanSquaredError> : ErrorSumTraits<RootMeanSquaredError> {
  static constexpr std::string_view name = "RootMeanSquaredError";
};

template <>
struct RecordTraits<R2> {
  static constexpr std::string_view name = "R2";
  static constexpr std::tuple fields{field("count", &R2::count),
                                     field("target_mean", &R2::target_mean),
                                     field("target_m2", &R2::target_m2),
                                     field("squared_errors", &R2::squared_errors)};
};

template <>
struct RecordTraits<Confusion> {
  using R = Confusion;
  static constexpr std::string_view name = "Confusion";
  static constexpr std::tuple fields{
      field("true_positives", &R::true_positives), field("false_positives", &R::false_positives),
      field("true_negatives", &R::true_negatives), field("false_negatives", &R::false_negatives)};
};

template <ConfusionRatio kRatio>
struct RecordTraits<ConfusionMetric<kRatio>> {
  using R = ConfusionMetric<kRatio>;
  static constexpr std::string_view name = confusion_ratio_name(kRatio);
  static constexpr std::tuple fields{field("confusion", &R::confusion)};
};

template <>
struct RecordTraits<LogLoss> : ErrorSumTraits<LogLoss> {
  static constexpr std::string_view name = "LogLoss";
};

// A score tree as its scores in increasing order with their counts.
struct ScoreTable {
  std::vector<double> scores;
  std::vector<std::uint64_t> positives;
  std::vector<std::uint64_t> negatives;
};

template <>
struct RecordTraits<ScoreTable> {
  static constexpr std::string_view name = "RocAuc";
  static constexpr std::tuple fields{field("scores", &ScoreTable::scores),
                                     field("positives", &ScoreTable::positives),
                                     field("negatives", &ScoreTable::negatives)};
};

template <>
struct SnapshotForm<RocAuc> {
  using Form = ScoreTable;
  static Form to(const RocAuc& metric);
  static Result<RocAuc> from(const Form& form);
};

// A window as its size and its samples, oldest first.
struct WindowSamples {
  std::uint64_t window = 0;
  std::vector<double> truths;
  std::vector<double> predictions;
};

template <>
struct RecordTraits<WindowSamples> {
  static constexpr std::string_view name = "Rolling";
  static constexpr std::tuple fields{field("window", &WindowSamples::window),
                                     field("truths", &WindowSamples::truths),
                                     field("predictions", &WindowSamples::predictions)};
};

template <class M>
struct SnapshotForm<Rolling<M>> {
  using Form = WindowSamples;
  static Form to(const Rolling<M>& r) {
    Form form{r.window, {}, {}};
    r.for_each([&](double t, double p) {
      form.truths.push_back(t);
      form.predictions.push_back(p);
    });
    return form;
  }
  // The window replayed: every sample is checked as an update checks it.
  static Result<Rolling<M>> from(const Form& form) {
    DREL_ASSIGN_OR_RETURN(Rolling<M> r, Rolling<M>::create(form.window));
    if (form.truths.size() != form.predictions.size() || form.truths.size() > form.window)
      return fail(Error::invalid_model_state("a window's samples do not fit it"));
    for (std::size_t i = 0; i < form.truths.size(); ++i) {
      DREL_ASSIGN_OR_RETURN(const auto sample,
                            window_sample<M>(form.truths[i], form.predictions[i]));
      DREL_TRY(r.update(sample.first, sample.second));
    }
    return r;
  }
};

template <>
struct UnionTraits<RollingMetric>
    : VariantUnion<RollingMetric, RollingMetric::Variant, &RollingMetric::variant> {
  static constexpr auto names = rolling_metric_names;
};

}  // namespace drel::snapshot
