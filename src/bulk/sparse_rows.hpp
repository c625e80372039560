// Feature vectors stored sparsely, row after row: row i holds the values of
// the features named by indices[offsets[i], offsets[i + 1]), every other
// feature of the row being +0. Within a row the indices are strictly
// increasing and below `cols` (the reader that builds a SparseRows sums
// duplicates and sorts first), so row i is exactly the dense row that has
// values[k] at indices[k]: the one that scipy's toarray() gives.
#pragma once

#include <algorithm>
#include <atomic>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>
#include <vector>

namespace drel {

struct SparseRow {
  const std::size_t* indices;
  const double* values;
  std::size_t size;

  std::size_t index(std::size_t k) const { return indices[k]; }
};

// Rows read where their owner keeps them, which another thread may be writing
// while they are read (a scipy matrix's own arrays): they were found canonical
// and within bounds before the first row ran, or are as each row is reached
// (SharedSparseRows::verify), but nothing stops a later write.
// So each pass over a row loads every index and offset once, as one atomic
// read the compiler cannot repeat, and clamps it into bounds before that same
// value is used (a later pass loads it again, and may see another value). A
// racing writer can then change which features a row names, and so the
// results, but never send a read or a write outside the weights or the
// arrays: a row rewritten to name a feature twice, out of order or out of
// bounds is still indexed only by clamped values (the learning steps find
// such a row as they read it, and defer it: see sparse_affine_sum).
template <class Index>
[[gnu::always_inline]] inline Index load_once(const Index* at) {
  static_assert(std::is_integral_v<Index>);
  // The owner's memory is only read; atomic_ref wants a mutable object.
  return std::atomic_ref<Index>(*const_cast<Index*>(at)).load(std::memory_order_relaxed);
}

// v as a position no further than `last`: a negative value turns huge, and so
// is clamped too.
template <class Index>
[[gnu::always_inline]] inline std::size_t clamped(Index v, std::size_t last) {
  return std::min(static_cast<std::size_t>(static_cast<std::make_unsigned_t<Index>>(v)), last);
}

template <class Index>
[[gnu::always_inline]] inline std::size_t load_clamped(const Index* at, std::size_t last) {
  return clamped(load_once(at), last);
}

template <class Index>
struct SharedRow {
  const Index* indices;
  const double* values;
  std::size_t size;
  std::size_t last_index;  // the number of features less one

  std::size_t index(std::size_t k) const { return load_clamped(indices + k, last_index); }
};

// Whether a row's indices, each read once more, are strictly increasing from
// at least 0 to below `cols`: what a canonical row within bounds is. (The
// learning steps find the same as they read a row: see sparse_affine_sum.)
template <class Index>
bool ascends_within(const SharedRow<Index>& x, std::size_t cols) {
  if (x.size == 0) return true;
  Index before = load_once(x.indices);
  bool ascends = before >= 0;
  for (std::size_t k = 1; k < x.size; ++k) {
    const Index v = load_once(x.indices + k);
    ascends &= before < v;
    before = v;
  }
  return ascends && static_cast<std::make_unsigned_t<Index>>(before) < cols;
}

// Rows [0, count) of a matrix of `cols` > 0 features stored as CSR with
// `stored` entries: indices and values hold `stored` elements each, offsets
// count + 1 (positions of this block's rows in them). See SharedRow. With
// `verify`, nothing has looked at the indices yet: each row is to be found
// canonical and within bounds before it changes anything.
template <class Index>
struct SharedSparseRows {
  const Index* offsets = nullptr;
  const Index* indices = nullptr;
  const double* values = nullptr;
  std::size_t count = 0;
  std::size_t cols = 0;
  std::size_t stored = 0;
  bool verify = false;
  bool stored_as_is = false;  // see DenseRow

  SharedRow<Index> row(std::size_t i) const {
    const std::size_t first = load_clamped(offsets + i, stored);
    const std::size_t end = std::max(load_clamped(offsets + i + 1, stored), first);
    return {indices + first, values + first, end - first, cols - 1};
  }
};

struct SparseRows {
  const std::size_t* offsets = nullptr;  // count + 1 positions into indices and values
  const std::size_t* indices = nullptr;
  const double* values = nullptr;
  std::size_t count = 0;
  std::size_t cols = 0;
  bool stored_as_is = false;  // see DenseRow

  SparseRow row(std::size_t i) const {
    const std::size_t first = offsets[i];
    return {indices + first, values + first, offsets[i + 1] - first};
  }
};

// The sparse rows the core reads: its own copy, or a CSR matrix's arrays in place.
template <class Rows>
concept SparseRowKind = std::same_as<Rows, SparseRows> ||
                        std::same_as<Rows, SharedSparseRows<std::int32_t>> ||
                        std::same_as<Rows, SharedSparseRows<std::int64_t>>;

// One dense row of `cols` values at a time, for the steps that read every
// feature. It is all +0 between uses: fill() adds each stored value to +0, as
// the toarray() of CSR, CSC and COO does (a stored -0 reads as +0), or, for
// rows `stored_as_is`, writes it as it is, as a LIL matrix's toarray() does
// (a stored -0 stays -0; such rows name a feature once). clear() puts +0 back
// where fill() wrote, so a row costs its stored values, not its width.
// Allocated on first use.
class DenseRow {
 public:
  explicit DenseRow(std::size_t cols) : cols_(cols) {}

  template <class Row>
  std::span<const double> fill(const Row& x, bool stored_as_is = false) {
    if (values_.size() != cols_) values_.assign(cols_, 0.0);
    written_.resize(x.size);
    for (std::size_t k = 0; k < x.size; ++k) {
      const std::size_t j = x.index(k);
      written_[k] = j;
      values_[j] = stored_as_is ? x.values[k] : values_[j] + x.values[k];
    }
    return values_;
  }
  // Puts +0 back where the last fill() wrote, by the indices it read then (a
  // SharedRow read again need not name the same features).
  template <class Row>
  void clear(const Row&) {
    for (const std::size_t j : written_) values_[j] = 0.0;
  }

 private:
  std::size_t cols_;
  std::vector<double> values_;
  std::vector<std::size_t> written_;
};

}  // namespace drel
