// Feature vectors stored sparsely, row after row: row i holds the values of
// the features named by indices[offsets[i], offsets[i + 1]), every other
// feature of the row being +0. Within a row the indices are strictly
// increasing and below `cols` (the reader that builds a SparseRows sums
// duplicates and sorts first), so row i is exactly the dense row that has
// values[k] at indices[k]: the one that scipy's toarray() gives.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace drel {

struct SparseRow {
  const std::size_t* indices;
  const double* values;
  std::size_t size;
};

struct SparseRows {
  const std::size_t* offsets = nullptr;  // count + 1 positions into indices and values
  const std::size_t* indices = nullptr;
  const double* values = nullptr;
  std::size_t count = 0;
  std::size_t cols = 0;

  SparseRow row(std::size_t i) const {
    const std::size_t first = offsets[i];
    return {indices + first, values + first, offsets[i + 1] - first};
  }
};

// One dense row of `cols` values at a time, for the steps that read every
// feature. It is all +0 between uses: fill() adds each stored value to +0, as
// toarray() does, and clear() puts +0 back where fill() wrote, so a row costs
// its stored values, not its width. Allocated on first use.
class DenseRow {
 public:
  explicit DenseRow(std::size_t cols) : cols_(cols) {}

  std::span<const double> fill(const SparseRow& x) {
    if (values_.size() != cols_) values_.assign(cols_, 0.0);
    for (std::size_t k = 0; k < x.size; ++k) values_[x.indices[k]] += x.values[k];
    return values_;
  }
  void clear(const SparseRow& x) {
    for (std::size_t k = 0; k < x.size; ++k) values_[x.indices[k]] = 0.0;
  }

 private:
  std::size_t cols_;
  std::vector<double> values_;
};

}  // namespace drel
