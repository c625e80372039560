// update_many of a metric: the one-sample update over arrays, all or nothing.
// It gives, bit for bit, the state and the first error of calling update on
// each pair in order. Metrics whose removal is exact undo the accepted rows
// on a failure; the others (R2, rolling windows) run on a copy.
#pragma once

#include <algorithm>
#include <limits>
#include <span>
#include <type_traits>

#include "bulk/bulk.hpp"
#include "metrics/rolling_metric.hpp"
#include "metrics/term_blocks.hpp"

namespace drel {

// A bool is stored as one byte, nonzero meaning true, as classifier targets are.
template <class T>
using ColumnOf = std::conditional_t<std::is_same_v<T, bool>, std::uint8_t, double>;

template <class M>
concept UndoableMetric = requires(M m, typename M::Truth t, typename M::Prediction p) {
  m.remove(t, p);
};

// A metric that is a count and an exact sum of per-sample terms.
template <class M>
concept TermSum = requires(M m) {
  M::term;
  m.sum;
  m.count;
};

template <class M>
concept ConfusionCounts = requires(M m) { m.confusion; };

// The count check of n more samples, done once for a whole array; the
// per-row loop then checks only what a row can fail.
inline bool fits(std::uint64_t count, std::size_t n) {
  return n <= std::numeric_limits<std::uint64_t>::max() - count;
}

// Undoable metrics run in place and undo rows [0, k) on a failure at row k;
// the others run on a copy that is committed after the last row.
template <class M>
[[gnu::noinline]] BulkStatus update_many(M& m,
                                         std::span<const ColumnOf<typename M::Truth>> truths,
                                         std::span<const ColumnOf<typename M::Prediction>> predictions) {
  if constexpr (ConfusionCounts<M>) {
    if (fits(m.count(), truths.size())) {
      // No sample can fail: three counts without a branch (true positives,
      // positives, predicted positives) give the four cells, a block of a
      // constant length at a time, which the vectoriser wants.
      constexpr std::size_t kBlock = 1024;
      std::uint64_t tp = 0, positives = 0, predicted = 0;
      const auto count = [&](const std::uint8_t* t, const std::uint8_t* p, std::size_t n)
                             __attribute__((always_inline)) {
        std::uint32_t both = 0, truth = 0, guess = 0;
        for (std::size_t i = 0; i < n; ++i) {
          const std::uint32_t a = t[i] != 0, b = p[i] != 0;
          both += a & b;
          truth += a;
          guess += b;
        }
        tp += both;
        positives += truth;
        predicted += guess;
      };
      const std::size_t n = truths.size();
      std::size_t first = 0;
      for (; first + kBlock <= n; first += kBlock)
        count(truths.data() + first, predictions.data() + first, kBlock);
      count(truths.data() + first, predictions.data() + first, n - first);
      m.confusion.add_counts(n, tp, positives, predicted);
      return {};
    }
  }
  if constexpr (TermSum<M>) {
    if (fits(m.count, truths.size())) {
      // Rows [first, end) one at a time with the checked term; on a failure,
      // every row before it is taken back out of the sum.
      const auto each = [&](std::size_t first, std::size_t end) -> BulkStatus {
        for (std::size_t i = first; i < end; ++i) {
          const auto term = M::term(static_cast<typename M::Truth>(truths[i]), predictions[i]);
          if (!term) [[unlikely]] {
            for (std::size_t j = i; j-- > 0;)
              m.sum.remove(*M::term(static_cast<typename M::Truth>(truths[j]), predictions[j]));
            return std::unexpected(RowError{i, term.error()});
          }
          m.sum.add(*term);
        }
        return {};
      };
      if constexpr (BlockTerms<M::term>::kAvailable) {
        double terms[kTermBlock];
        for (std::size_t first = 0; first < truths.size(); first += kTermBlock) {
          const std::size_t count = std::min(kTermBlock, truths.size() - first);
          using Block = BlockTerms<M::term>;
          const auto* y = truths.data() + first;
          const double* p = predictions.data() + first;
          // A full block has a constant length, which the vectoriser wants.
          const bool passed = count == kTermBlock ? Block::fill(y, p, kTermBlock, terms)
                                                  : Block::fill(y, p, count, terms);
          if (passed) [[likely]] {
            m.sum.add_many(std::span<const double>(terms, count));
          } else {
            DREL_TRY(each(first, first + count));
          }
        }
      } else {
        DREL_TRY(each(0, truths.size()));
      }
      m.count += truths.size();
      return {};
    }
  }
  if constexpr (UndoableMetric<M>) {
    for (std::size_t i = 0; i < truths.size(); ++i) {
      if (Status s = m.update(static_cast<typename M::Truth>(truths[i]),
                              static_cast<typename M::Prediction>(predictions[i]));
          !s) [[unlikely]] {
        const RowError failure{i, std::move(s).error()};
        for (std::size_t j = i; j-- > 0;)
          m.remove(static_cast<typename M::Truth>(truths[j]),
                   static_cast<typename M::Prediction>(predictions[j]));
        return std::unexpected(failure);
      }
    }
    return {};
  } else {
    M work = m;
    for (std::size_t i = 0; i < truths.size(); ++i) {
      if (Status s = work.update(static_cast<typename M::Truth>(truths[i]),
                                 static_cast<typename M::Prediction>(predictions[i]));
          !s) [[unlikely]]
        return std::unexpected(RowError{i, std::move(s).error()});
    }
    m = std::move(work);
    return {};
  }
}

// The updates of rows [0, n) in order, stopping at the first failing row,
// for a caller that works on a copy it drops on failure (progressive
// validation): nothing is undone or copied here.
template <class M>
BulkStatus update_each(M& m, std::span<const ColumnOf<typename M::Truth>> truths,
                       std::span<const ColumnOf<typename M::Prediction>> predictions) {
  if constexpr (TermSum<M> || ConfusionCounts<M>) {
    return update_many(m, truths, predictions);
  } else {
    for (std::size_t i = 0; i < truths.size(); ++i) {
      if (Status s = m.update(static_cast<typename M::Truth>(truths[i]),
                              static_cast<typename M::Prediction>(predictions[i]));
          !s) [[unlikely]]
        return std::unexpected(RowError{i, std::move(s).error()});
    }
    return {};
  }
}

}  // namespace drel
