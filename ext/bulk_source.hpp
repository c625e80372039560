// The inputs of a bulk call as a row-by-row loop would meet them.
//
// Each input (X, y, xs) is a source of rows. A native buffer is read whole,
// without running Python code; anything else is iterated one item at a time.
// convert_inputs walks the sources in the order of the loop
//
//     for x_i, y_i in zip(X, y): model.learn_one(x_i, y_i)
//
// (fetch x_i, fetch y_i, convert y_i, convert x_i), so that the first failing
// row, and within a row the failing input, are the ones that loop would report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "bulk_errors.hpp"
#include "bindings/python.hpp"

namespace drel::py {

enum class Fetched { Item, End, Failed };  // Failed: the iterator raised
enum class Converted {
  Ok,
  Failed,    // an exception from the item's own code (its __float__, __next__, ...)
  Refused,   // the one-sample conversion refused the item
  Rejected,  // the reader's own ValueError (a classifier target other than 0 or 1)
};

// What the arguments must be, as the errors about their shape say it.
inline constexpr const char* kRowsShape = "X must be two-dimensional (rows of features)";
inline const char* values_shape(const char* param) {
  return param[0] == 'x' ? "xs must be one-dimensional (one value per sample)"
                         : "y must be one-dimensional (one target per row)";
}

// The values a buffer that is not read as it is converts at a time: 256 KiB of
// doubles, which stay in the cache from conversion to core.
inline constexpr std::size_t kBlockValues = std::size_t{1} << 15;

class BulkSource {
 public:
  BulkSource(const char* param, const char* unit) : param(param), unit(unit) {}
  BulkSource(const BulkSource&) = delete;
  BulkSource& operator=(const BulkSource&) = delete;
  virtual ~BulkSource() = default;

  // Read completely when opened (a buffer): fetch and convert run no Python code.
  virtual bool whole() const = 0;
  // The number of rows when it is known before iterating (buffers, lists, tuples).
  virtual std::optional<std::size_t> known_count() const = 0;
  // The number of rows now, when it can be told (a list may change while read).
  virtual std::optional<std::size_t> current_count() const { return known_count(); }
  // For a whole source, the first row that convert() rejects.
  virtual std::optional<std::size_t> first_rejected() const { return std::nullopt; }
  // How many rows the core takes at a time: a block of a buffer converted
  // block by block, else as many as keep a block within kSignalBlockValues.
  virtual std::size_t block_rows() const = 0;
  // Rows are fetched and converted in order, each once.
  virtual Fetched fetch(std::size_t row) = 0;
  virtual Converted convert(std::size_t row) = 0;

  const char* const param;  // "X", "y", "xs"
  const char* const unit;   // "row", "value"
  // Set by a convert() that failed on an item of the wrong shape (a number
  // where a row belongs, a row where a number does): what the argument should be.
  const char* failure_hint = nullptr;
};

struct Conversion {
  std::size_t count = 0;              // rows ready for the core
  std::optional<RowFailure> failure;  // the first row that failed; then count == failure->row
};

// Converts `x` and, when given, `y` row by row as described above. Mismatched
// lengths raise ValueError (at once when both lengths are known up front).
// Returns false with an exception pending: a mismatch, a failure before any row
// (not iterable), or a non-ordinary exception, which is never held back.
bool convert_inputs(BulkSource& x, BulkSource* y, Conversion& out);

}  // namespace drel::py
