// Errors of the bulk functions, each naming the row it belongs to.
//
// A core error at row N is the one-sample error with " (row N)" appended. So
// is an error that the library raises itself while converting row N (the
// conversion's refusal, raised again as the same type with the same text plus
// " (row N)", the original kept as __cause__, so that `except TypeError` still
// catches it; the readers' own errors have no cause). An exception that the
// caller's code raised (a value's __float__ or __index__, a row's __getitem__,
// an iterator's __next__) is raised as that very object, with the note
// "at row N". Either way a note then names the argument. Only ordinary
// exceptions (Exception subclasses other than MemoryError) are ever tagged or
// held back: KeyboardInterrupt, SystemExit, MemoryError and internal faults
// propagate at once, unchanged.
#pragma once

#include <cstddef>
#include <optional>

#include "bulk/bulk.hpp"
#include "bindings/python.hpp"

namespace drel::py {

// Who raised a row's exception.
enum class RaisedIn : std::uint8_t {
  Caller,      // the caller's code: kept as it is
  Conversion,  // the one-sample conversion's refusal: the text tagged, the original as cause
  Reader,      // the bulk readers themselves: the text tagged, no cause
};

// The first row whose conversion failed, with what it raised.
struct RowFailure {
  std::size_t row = 0;
  Ref exception;              // the exception object, taken off the thread
  const char* param = "";     // the parameter the row belongs to: "X", "y", "xs"
  RaisedIn raised_in = RaisedIn::Caller;
  const char* hint = nullptr;  // a note on what the argument should have been
};

// True for an exception that a bulk call may hold back and tag with its row.
bool is_ordinary(PyObject* exception);

// Takes the pending exception as the failure of `row` when it is ordinary;
// otherwise leaves it pending and returns nullopt (the caller raises it now).
std::optional<RowFailure> take_row_failure(std::size_t row, const char* param, RaisedIn raised_in);

// Raises the failure tagged with its row (as above), then its hint and the note
// "while processing '{param}'" as notes. Always returns null.
PyObject* raise_row_failure(RowFailure&& failure);

// RuntimeError("{message} (row N)"). Always returns null.
PyObject* raise_core_row_error(const RowError& error);

}  // namespace drel::py
