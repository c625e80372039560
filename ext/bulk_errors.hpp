// Errors of the bulk functions, each naming the row it belongs to.
//
// A core error at row N is the one-sample error with " (row N)" appended. A
// conversion error at row N is raised again as the same type with the same
// text plus " (row N)", the original kept as __cause__, so that `except
// TypeError` still catches it. Only ordinary exceptions (Exception subclasses
// other than MemoryError) are ever tagged or held back: KeyboardInterrupt,
// SystemExit, MemoryError and internal faults propagate at once, unchanged.
#pragma once

#include <cstddef>
#include <optional>

#include "bulk/bulk.hpp"
#include "bindings/python.hpp"

namespace drel::py {

// The first row whose conversion failed, with what it raised.
struct RowFailure {
  std::size_t row = 0;
  Ref exception;              // the exception object, taken off the thread
  const char* param = "";     // the parameter the row belongs to: "X", "y", "xs"
  bool own = false;           // raised by the bulk readers themselves: no cause chain
};

// True for an exception that a bulk call may hold back and tag with its row.
bool is_ordinary(PyObject* exception);

// Takes the pending exception as the failure of `row` when it is ordinary;
// otherwise leaves it pending and returns nullopt (the caller raises it now).
std::optional<RowFailure> take_row_failure(std::size_t row, const char* param, bool own);

// Raises the failure tagged with its row, with the note
// "while processing '{param}'". Always returns null.
PyObject* raise_row_failure(RowFailure&& failure);

// RuntimeError("{message} (row N)"). Always returns null.
PyObject* raise_core_row_error(const RowError& error);

}  // namespace drel::py
