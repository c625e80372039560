// Whole arrays through the core. Every function here gives, bit for bit, the
// state, the outputs and the first error that calling the one-sample operation
// on each row in order would give, and is all or nothing as a whole: it works
// on a private copy of the state and commits it once, at the end, so a failure
// at any row leaves the object exactly as it was (pipelines included, although
// their one-sample calls commit per stage).
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>

#include "error/error.hpp"
#include "linear/linear_regression.hpp"
#include "linear/logistic_regression.hpp"
#include "pipeline/pipeline.hpp"
#include "preprocessing/standard_scaler.hpp"
#include "stats/ewmean.hpp"
#include "stats/mean.hpp"
#include "stats/variance.hpp"

namespace drel {

// Feature vectors stored as doubles. Rows are contiguous: row i holds `cols`
// values starting `row_stride` values after row i - 1. Rows of differing
// lengths (converted from ragged Python input) instead give `offsets`, count + 1
// ascending positions: row i is data[offsets[i], offsets[i + 1]).
struct Rows {
  const double* data = nullptr;
  std::size_t count = 0;
  std::size_t cols = 0;
  std::size_t row_stride = 0;
  const std::size_t* offsets = nullptr;

  std::span<const double> row(std::size_t i) const {
    if (offsets != nullptr) [[unlikely]] return {data + offsets[i], offsets[i + 1] - offsets[i]};
    return {data + i * row_stride, cols};
  }
};

// The one-sample error at `row`, the index of the failing row.
struct RowError {
  std::size_t row;
  Error error;
};
using BulkStatus = std::expected<void, RowError>;

// Classifier targets and predictions: one byte per row, nonzero meaning true.
using Flags = std::span<const std::uint8_t>;

// Each loop below is compiled on its own, never inlined into a caller (a
// whole-program build would otherwise do so): its registers are then allocated
// for the loop alone, and its speed does not move with whatever the caller
// keeps live around the call.

[[nodiscard, gnu::noinline]] BulkStatus update_many(Mean& m, std::span<const double> xs);
[[nodiscard, gnu::noinline]] BulkStatus update_many(ExponentiallyWeightedMean& m, std::span<const double> xs);
[[nodiscard, gnu::noinline]] BulkStatus update_many(Variance& v, std::span<const double> xs);

// y holds one target per row (y.size() == rows.count, checked by the caller).
[[nodiscard, gnu::noinline]] BulkStatus learn_many(StandardScalerState& s, const Rows& rows);
[[nodiscard, gnu::noinline]] BulkStatus learn_many(LinearRegression& m, const Rows& rows, std::span<const double> y);
[[nodiscard, gnu::noinline]] BulkStatus learn_many(LogisticRegression& m, const Rows& rows, Flags y);
[[nodiscard, gnu::noinline]] BulkStatus learn_many(RegressionPipeline& p, const Rows& rows, std::span<const double> y);
[[nodiscard, gnu::noinline]] BulkStatus learn_many(ClassificationPipeline& p, const Rows& rows, Flags y);

// One output per row (out.size() == rows.count); on failure `out` holds
// unspecified values and the caller discards it.
[[nodiscard, gnu::noinline]] BulkStatus predict_many(const LinearRegression& m, const Rows& rows, std::span<double> out);
[[nodiscard, gnu::noinline]] BulkStatus predict_many(const RegressionPipeline& p, const Rows& rows, std::span<double> out);
[[nodiscard, gnu::noinline]] BulkStatus predict_many(const LogisticRegression& m, const Rows& rows, std::span<std::uint8_t> out);
[[nodiscard, gnu::noinline]] BulkStatus predict_many(const ClassificationPipeline& p, const Rows& rows, std::span<std::uint8_t> out);
[[nodiscard, gnu::noinline]] BulkStatus predict_proba_many(const LogisticRegression& m, const Rows& rows, std::span<double> out);
[[nodiscard, gnu::noinline]] BulkStatus predict_proba_many(const ClassificationPipeline& p, const Rows& rows, std::span<double> out);

// out holds rows.count * s.feature_count values, row after row.
[[nodiscard, gnu::noinline]] BulkStatus transform_many(const StandardScalerState& s, const Rows& rows, std::span<double> out);

}  // namespace drel
