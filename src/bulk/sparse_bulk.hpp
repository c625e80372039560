// The bulk operations of the bare linear models over sparse rows. Each gives,
// bit for bit, what the dense operation of bulk/bulk.hpp gives over the same
// rows made dense (scipy's toarray()), first error and its row included, and
// is all or nothing in the same way. A row costs its stored values whenever
// the model is sparse-exact (linear/sparse_step.hpp): always for predictions
// from finite weights, and for learning without an L2 penalty. Otherwise the
// row is made dense and takes the dense step.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "bulk/bulk.hpp"
#include "bulk/sparse_rows.hpp"

namespace drel {

[[nodiscard, gnu::noinline]] BulkStatus learn_many(LinearRegression& m, const SparseRows& rows,
                                                   std::span<const double> y);
[[nodiscard, gnu::noinline]] BulkStatus learn_many(LogisticRegression& m, const SparseRows& rows,
                                                   Flags y);

// learn_many over the blocks of one matrix's rows, one block per call, on a
// model `work` that the caller owns privately and drops when a call fails:
// the rows run in place on it, with no copy of the model per block, and a
// failing call leaves it part-way (the error and its row are learn_many's).
// Rows to verify (SharedSparseRows::verify) stop at the first one that is not
// canonical or within bounds, with the error unsorted_sparse_features: the
// rows before it are learned, and the model runs on (the same SparseLearning)
// with the rest of the block from that row on, once the caller has decided
// what they are.
// A SparseLearning carries between the calls what the model's state says of
// its rows' cost (worked out once, at the first block, then kept up by the
// steps) and the buffers; it belongs to one model and one matrix width.
class SparseLearning {
 public:
  explicit SparseLearning(std::size_t cols, std::optional<bool> exact_at_start = std::nullopt)
      : exact(exact_at_start), dense(cols) {}

  // Whether the model is sparse-exact, once known (when the model has no
  // penalty; a caller may pass what sparse_rows_cost_stored_values said).
  std::optional<bool> exact;
  DenseRow dense;
  std::vector<double> saved;  // old values of a row's features (PutBack)
};

// Model: LinearRegression (Targets std::span<const double>) or
// LogisticRegression (Flags); Rows: SparseRows or SharedSparseRows of int32 or
// int64 indices.
template <class Model, class Rows, class Targets>
[[nodiscard]] BulkStatus learn_block(Model& work, const Rows& rows, Targets y,
                                     SparseLearning& run);

// Rows: SparseRows or SharedSparseRows of int32 or int64 indices. Rows to
// verify stop at the first one that is not canonical or within bounds, as
// learn_block's do, with the outputs of the rows before it written.
template <SparseRowKind Rows>
[[nodiscard, gnu::noinline]] BulkStatus predict_many(const LinearRegression& m, const Rows& rows,
                                                     std::span<double> out);
template <SparseRowKind Rows>
[[nodiscard, gnu::noinline]] BulkStatus predict_many(const LogisticRegression& m,
                                                     const Rows& rows,
                                                     std::span<std::uint8_t> out);
template <SparseRowKind Rows>
[[nodiscard, gnu::noinline]] BulkStatus predict_proba_many(const LogisticRegression& m,
                                                           const Rows& rows,
                                                           std::span<double> out);

// Whether rows will cost their stored values (the model is sparse-exact for
// learning, has finite weights for predictions) rather than the model's width:
// what a caller sizes its blocks of rows by.
[[nodiscard]] bool sparse_rows_cost_stored_values(const LinearRegression& m, bool learning);
[[nodiscard]] bool sparse_rows_cost_stored_values(const LogisticRegression& m, bool learning);

}  // namespace drel
