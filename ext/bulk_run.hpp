// What the bulk calls share once their inputs are converted: the walk over
// blocks of rows, and the order in which a call's errors are raised.
#pragma once

#include <algorithm>
#include <cstddef>
#include <utility>

#include "bulk/bulk.hpp"
#include "bulk_source.hpp"
#include "without_gil.hpp"

namespace drel::py {

// Raises what stopped the call, if anything: a core error first (it belongs to
// an earlier row than any conversion failure), then the conversion failure.
inline bool finished(const BulkStatus& status, Conversion& conversion) {
  if (!status) {
    raise_core_row_error(status.error());
    return false;
  }
  if (conversion.failure) {
    raise_row_failure(std::move(*conversion.failure));
    return false;
  }
  return true;
}

// Runs run(first, count) over rows [0, n) in blocks of `block` rows, naming a
// failing row by its index in the whole call. A signal handler that raises
// between two blocks stops the run (signals.raised() tells).
template <class Run>
BulkStatus over_blocks(std::size_t n, std::size_t block, SignalPoll& signals, Run&& run) {
  for (std::size_t first = 0; first < n; first += block) {
    if (first > 0 && signals.interrupted()) [[unlikely]] return {};
    BulkStatus done = run(first, std::min(block, n - first));
    if (!done) [[unlikely]] {
      RowError failure = std::move(done).error();
      failure.row += first;
      return std::unexpected(std::move(failure));
    }
  }
  return {};
}

}  // namespace drel::py
