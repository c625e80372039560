// X as a scipy.sparse matrix or array.
//
// Recognised by its real type (never by what it says about itself): a
// subclass of scipy.sparse's CSR, CSC or COO classes, matrix or array, when
// scipy.sparse has been imported. Other sparse formats (BSR, DIA, LIL, DOK)
// are converted once with their own tocsr(). Every array read is checked here
// before any row runs: a spoofed or corrupted matrix raises ValueError or
// TypeError, never reads out of bounds.
//
// CSR is read in place. When its rows are canonical (indices strictly
// increasing within each row, found so when X is opened), its indptr and
// indices are native int32 or int64 of one type, and its data float64, the
// linear models' learning and predicting steps read all three where they are,
// each index and offset loaded once and clamped into bounds
// (SharedSparseRows): another thread writing to them meanwhile can change the
// results, never send a read out of bounds. Opened for rows that cost their
// stored values (open's `defer_index_check`: learning from a sparse-exact
// model, predicting from finite weights), such arrays are not looked at in a
// pass of their own: the steps find each row canonical and within bounds as
// they reach it, and the first one that is not has the whole of X looked at
// as opening it would have (verify_now): out of bounds, X is refused; merely
// not canonical, the rows from there on are copied and put in order. A caller that fails for any
// other reason first asks whether X is invalid (raise_if_invalid), so that
// X's own error comes first, as when it was looked at on opening.
// Otherwise a block of rows at a time, its indices are copied (and checked
// again) and its values used as they are when they are float64. CSC and COO
// are put in row order once, into arrays the reader owns. Rows reach the core
// as toarray() would make them: duplicates summed in storage order (in
// float64), indices sorted; a canonical row is taken as it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "bulk/sparse_rows.hpp"
#include "bulk_buffer.hpp"
#include "bindings/python.hpp"

namespace drel::py {

class SparseMatrix {
 public:
  enum class Opened { NotSparse, Ok, Failed };  // Failed: an exception is set

  Opened open(PyObject* X, bool defer_index_check = false);

  // Whether X's indices are still to be looked at (see above).
  bool verify_pending() const { return verify_pending_; }
  // Looks at every index now, without the interpreter lock; false when one
  // is out of bounds (X is invalid). Rows read afterwards are verified ones.
  bool verify_now();
  // With the interpreter lock: when X is invalid (looked at now if it was
  // still to be), its error replaces any exception set, and true.
  bool raise_if_invalid();

  std::size_t count() const { return rows_; }
  std::size_t cols() const { return cols_; }
  // Rows per block for the sparse steps. When rows cost their stored values:
  // enough of them that the per-call look at every weight stays a small share
  // of the block's cost; when they cost the model's width, as many as the
  // dense loops take between two looks for signals, times a few (each call
  // copies the model once).
  std::size_t block_rows(bool by_stored_values) const;

  // Rows [first, first + count); valid until the next call. Runs no Python
  // code: callable without the interpreter lock.
  SparseRows rows(std::size_t first, std::size_t count);
  // f(the same rows), as a SharedSparseRows read in place where X allows it,
  // else as rows() gives them. The same conditions as rows().
  template <class F>
  decltype(auto) visit_rows(std::size_t first, std::size_t count, F&& f) {
    switch (shared_) {
      case Shared::Int32: return f(shared<std::int32_t>(first, count));
      case Shared::Int64: return f(shared<std::int64_t>(first, count));
      case Shared::No: break;
    }
    return f(rows(first, count));
  }
  // The same rows dense, row after row, into `out` (count * cols values).
  void dense(std::size_t first, std::size_t count, double* out);

 private:
  enum class Shared { No, Int32, Int64 };

  template <class Index>
  SharedSparseRows<Index> shared(std::size_t first, std::size_t count) const {
    return {static_cast<const Index*>(indptr_.view().buf) + first,
            static_cast<const Index*>(indices_.view().buf),
            static_cast<const double*>(data_.view().buf),
            count,
            cols_,
            stored_,
            verify_pending_,
            stored_as_is_};
  }
  // For CSR arrays of one native index type, contiguous and aligned: checks
  // every index against the width, and sets shared_ when the rows are
  // canonical. Nothing checked when the arrays are not such (NotChecked).
  enum class InPlace { NotChecked, Valid, OutOfBounds };
  InPlace check_in_place(std::vector<std::size_t>& indptr, bool defer);

  bool open_compressed(PyObject* X, bool by_row, bool defer_index_check);
  bool open_coordinates(PyObject* X);
  bool read_shape(PyObject* X);
  void own_by_row(const std::vector<std::size_t>& row_of, const std::vector<std::size_t>& col_of,
                  const std::vector<double>& values);
  void canonicalize_owned();

  Ref converted_;  // what tocsr() gave, for the other formats
  HeldBuffer indptr_, indices_, data_;
  ElementFormat indptr_format_{}, index_format_{}, data_format_{};
  bool in_place_values_ = false;
  Shared shared_ = Shared::No;
  bool verify_pending_ = false, found_invalid_ = false;
  bool stored_as_is_ = false;  // X is a LIL matrix: see DenseRow
  std::vector<std::size_t> pending_indptr_;  // X's indptr as checked, while verify_pending_
  std::size_t rows_ = 0, cols_ = 0, stored_ = 0;

  bool owned_ = false;  // CSC and COO: the rows in the arrays below
  std::vector<std::size_t> own_offsets_, own_indices_;
  std::vector<double> own_values_;

  // The current block of a CSR matrix.
  std::vector<std::size_t> block_offsets_, block_indices_;
  std::vector<double> block_values_;
  std::vector<std::pair<std::size_t, double>> row_scratch_;
};

}  // namespace drel::py
