// X, the feature vectors of a bulk call.
//
// A 2-D buffer of real numbers (numpy arrays of any real dtype, any order or
// strides, memoryviews) is read in place: its rows go to the core as they are
// when they are contiguous float64, otherwise a block of rows at a time is
// converted element by element into one small reused array, so that a call
// never holds a converted copy of the whole of X. Anything else is an iterable
// of feature vectors, each converted exactly as learn_one converts one; rows
// may differ in length.
// A scipy.sparse matrix or array is read as bulk_sparse.hpp says: as sparse
// rows by the classes whose core reads them (sparse_rows), made dense a block
// of rows at a time for the others.
// A table that is neither (a pandas DataFrame: iterating it yields its column
// labels) but offers `__array__` is taken as numpy.asarray gives it, when numpy
// is installed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "bulk/bulk.hpp"
#include "bulk/sparse_rows.hpp"
#include "bulk_buffer.hpp"
#include "bulk_items.hpp"
#include "bulk_source.hpp"
#include "bulk_sparse.hpp"
#include "bindings/convert.hpp"
#include "without_gil.hpp"

namespace drel::py {

class RowReader final : public BulkSource {
 public:
  RowReader() : BulkSource("X", "row") {}

  // False with an exception set (X not iterable, or a non-ordinary exception
  // while asking for its buffer).
  bool open(PyObject* X, bool defer_sparse_check = false);
  // Rows [first, first + count), for the core; valid until the next call or
  // until the reader goes. A buffer's rows converted here touch no Python
  // object: this runs without the interpreter lock.
  Rows rows(std::size_t first, std::size_t count);

  // X is a scipy.sparse matrix: sparse_rows() gives its rows as they are
  // stored, sparse_block_rows() at a time.
  bool sparse() const { return sparse_open_; }
  SparseRows sparse_rows(std::size_t first, std::size_t count) {
    return sparse_.rows(first, count);
  }
  // f(the same rows), read in place where X allows (SparseMatrix::visit_rows).
  template <class F>
  decltype(auto) visit_sparse_rows(std::size_t first, std::size_t count, F&& f) {
    return sparse_.visit_rows(first, count, std::forward<F>(f));
  }
  std::size_t sparse_cols() const { return sparse_.cols(); }
  SparseMatrix& sparse_matrix() { return sparse_; }
  std::size_t sparse_block_rows(bool by_stored_values) const {
    return sparse_.block_rows(by_stored_values);
  }
  // Makes room for the dense rows of a sparse X before rows() is called;
  // false with MemoryError set when there is none.
  bool reserve_dense();

  std::size_t block_rows() const override;
  bool whole() const override { return whole_; }
  std::optional<std::size_t> known_count() const override;
  std::optional<std::size_t> current_count() const override {
    return whole_ ? known_count() : items_.current_length();
  }
  Fetched fetch(std::size_t row) override;
  Converted convert(std::size_t row) override;

 private:
  bool open_buffer();

  bool open_sparse();

  SparseMatrix sparse_;
  bool sparse_open_ = false;
  Ref as_array_;  // X through numpy.asarray, when X is such a table
  HeldBuffer buffer_;
  bool whole_ = false;
  Rows whole_rows_;  // a whole buffer's shape, and its data when read as it is
  std::optional<ElementFormat> converted_;  // a buffer converted block by block
  std::vector<double> block_;

  std::vector<double> values_;
  std::vector<std::size_t> offsets_{0};  // iterated rows: where each one starts
  std::size_t cols_ = 0;                 // the first iterated row's length
  bool ragged_ = false;
  ItemSource items_;
  Ref item_;
  FeatureBuffer features_;
  SignalBudget signals_;
};

}  // namespace drel::py
