// Metrics that take their rows inside another loop (progressive validation's
// predict-and-learn loop), a row at a time and without a branch, where the
// processor overlaps them with that loop's own chain of dependent steps. A
// tally gathers what the rows add to one metric, and whether a row failed a
// check; after the loop it is committed to the metric, or dropped and the
// rows replayed by the checked update to name the failure. Only metrics whose
// update is a count and something the order of the rows cannot change have
// one: an exact sum of checked terms, or confusion counts.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "error/guards.hpp"
#include "metrics/exact_sum.hpp"
#include "metrics/metric_bulk.hpp"
#include "metrics/term_blocks.hpp"

namespace drel {

// The terms of a TermSum metric, gathered in exponent bins.
template <auto Term, class TargetColumn>
class TermTally {
 public:
  template <class M>
  TermTally(M& m, std::size_t index, ExponentBins& bins)
      : index(index), sum_(&m.sum), count_(&m.count), bins_(&bins) {}

  // Whether the metric's count takes `rows` more rows.
  template <class M>
  static bool fits(const M& m, std::size_t rows) {
    return drel::fits(m.count, rows);
  }
  [[gnu::always_inline]] void take(TargetColumn y, double p) {
    bins_->put(BlockTerms<Term>::one(y, p, bad_), range_);
  }
  bool failed() const { return !none_non_finite(bad_); }
  // The `rows` rows taken since the last commit go to the metric.
  void commit(std::size_t rows) {
    bins_->flush_into(*sum_, range_);
    *count_ += rows;
  }
  void drop() {
    bins_->clear(range_);
    bad_ = 0;
  }

  std::size_t index;  // the metric's place in the caller's list

 private:
  ExactSum* sum_;
  std::uint64_t* count_;
  ExponentBins* bins_;
  ExponentBins::Range range_;
  std::uint64_t bad_ = 0;
};

// The three counts update_many's confusion loop keeps (no sample can fail).
class ConfusionTally {
 public:
  template <class M>
  ConfusionTally(M& m, std::size_t index, ExponentBins&) : index(index), confusion_(&m.confusion) {}

  template <class M>
  static bool fits(const M& m, std::size_t rows) {
    return drel::fits(m.count(), rows);
  }
  [[gnu::always_inline]] void take(std::uint8_t y, double p) {
    const std::uint64_t truth = y != 0, guess = p >= 0.5;
    both_ += truth & guess;
    positives_ += truth;
    predicted_ += guess;
  }
  bool failed() const { return false; }
  void commit(std::size_t rows) {
    confusion_->add_counts(rows, both_, positives_, predicted_);
    drop();
  }
  void drop() { both_ = positives_ = predicted_ = 0; }

  std::size_t index;

 private:
  Confusion* confusion_;
  std::uint64_t both_ = 0, positives_ = 0, predicted_ = 0;
};

// The bins of a thread's term tallies, empty between uses (a tally is
// committed or dropped before it ends): 16 KiB each, of which a tally touches the few its
// terms' exponents select.
inline std::array<ExponentBins, 2>& tally_bins() {
  thread_local std::array<ExponentBins, 2> bins;
  return bins;
}

// The tally of metric M for a model whose targets are a TargetColumn (a
// classifier's predictions are probabilities); void when there is none.
template <class M, class TargetColumn>
struct TallyFor {
  using type = void;
};

template <class M, class TargetColumn>
  requires TermSum<M> && BlockTerms<M::term>::kAvailable &&
           std::is_same_v<ColumnOf<typename M::Truth>, TargetColumn>
struct TallyFor<M, TargetColumn> {
  using type = TermTally<M::term, TargetColumn>;
};

template <class M>
  requires ConfusionCounts<M>
struct TallyFor<M, std::uint8_t> {
  using type = ConfusionTally;
};

}  // namespace drel
