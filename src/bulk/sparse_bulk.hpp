// The bulk operations of the bare linear models over sparse rows. Each gives,
// bit for bit, what the dense operation of bulk/bulk.hpp gives over the same
// rows made dense (scipy's toarray()), first error and its row included, and
// is all or nothing in the same way. A row costs its stored values whenever
// the model is sparse-exact (linear/sparse_step.hpp): always for predictions
// from finite weights, and for learning without an L2 penalty. Otherwise the
// row is made dense and takes the dense step.
#pragma once

#include <cstdint>
#include <span>

#include "bulk/bulk.hpp"
#include "bulk/sparse_rows.hpp"

namespace drel {

[[nodiscard, gnu::noinline]] BulkStatus learn_many(LinearRegression& m, const SparseRows& rows,
                                                   std::span<const double> y);
[[nodiscard, gnu::noinline]] BulkStatus learn_many(LogisticRegression& m, const SparseRows& rows,
                                                   Flags y);

[[nodiscard, gnu::noinline]] BulkStatus predict_many(const LinearRegression& m,
                                                     const SparseRows& rows,
                                                     std::span<double> out);
[[nodiscard, gnu::noinline]] BulkStatus predict_many(const LogisticRegression& m,
                                                     const SparseRows& rows,
                                                     std::span<std::uint8_t> out);
[[nodiscard, gnu::noinline]] BulkStatus predict_proba_many(const LogisticRegression& m,
                                                           const SparseRows& rows,
                                                           std::span<double> out);

// Whether rows will cost their stored values (the model is sparse-exact for
// learning, has finite weights for predictions) rather than the model's width:
// what a caller sizes its blocks of rows by.
[[nodiscard]] bool sparse_rows_cost_stored_values(const LinearRegression& m, bool learning);
[[nodiscard]] bool sparse_rows_cost_stored_values(const LogisticRegression& m, bool learning);

}  // namespace drel
