// X, the feature vectors of a bulk call.
//
// A 2-D buffer of real numbers (numpy arrays of any real dtype, any order or
// strides, memoryviews) is taken whole: read in place when its rows are
// contiguous float64, otherwise converted element by element into one
// contiguous array. Anything else is an iterable of feature vectors, each
// converted exactly as learn_one converts one; rows may differ in length.
// A table that is neither (a pandas DataFrame: iterating it yields its column
// labels) but offers `__array__` is taken as numpy.asarray gives it, when numpy
// is installed.
#pragma once

#include <cstddef>
#include <vector>

#include "bulk/bulk.hpp"
#include "bulk_buffer.hpp"
#include "bulk_items.hpp"
#include "bulk_source.hpp"
#include "convert.hpp"

namespace drel::py {

class RowReader final : public BulkSource {
 public:
  RowReader() : BulkSource("X", "row") {}

  // False with an exception set (X not iterable, or a non-ordinary exception
  // while asking for its buffer).
  bool open(PyObject* X);
  // The first `count` rows, for the core; valid until the reader goes.
  Rows rows(std::size_t count) const;

  bool whole() const override { return whole_; }
  std::optional<std::size_t> known_count() const override;
  Fetched fetch(std::size_t row) override;
  Converted convert(std::size_t row) override;

 private:
  bool open_buffer();

  Ref as_array_;  // X through numpy.asarray, when X is such a table
  HeldBuffer buffer_;
  bool whole_ = false;
  Rows whole_rows_;  // a whole buffer, in place or in values_

  std::vector<double> values_;
  std::vector<std::size_t> offsets_{0};  // iterated rows: where each one starts
  std::size_t cols_ = 0;                 // the first iterated row's length
  bool ragged_ = false;
  ItemSource items_;
  Ref item_;
  FeatureBuffer features_;
};

}  // namespace drel::py
