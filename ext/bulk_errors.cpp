#include "bulk_errors.hpp"

#include <string>

#include "bindings/convert.hpp"
#include "bindings/frame.hpp"

namespace drel::py {
namespace {

// The text of `exception` with " (row N)" appended, or null with an exception set.
Ref tagged_text(PyObject* exception, std::size_t row) {
  Ref text = Ref::steal(PyObject_Str(exception));
  if (!text) return {};
  return Ref::steal(PyUnicode_FromFormat("%U (row %zu)", text.get(), row));
}

// A new exception of the original's type whose str() is exactly `text`, or
// null (nothing pending) when the type cannot be built from one message.
Ref same_type_with_text(PyObject* original, PyObject* text) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(original));
  Ref tagged = Ref::steal(PyObject_CallOneArg(type, text));
  if (tagged && PyObject_TypeCheck(tagged.get(), Py_TYPE(original))) {
    Ref shown = Ref::steal(PyObject_Str(tagged.get()));
    if (shown && PyUnicode_Compare(shown.get(), text) == 0) return tagged;
  }
  PyErr_Clear();  // e.g. KeyError quotes its text, UnicodeError wants five arguments
  return {};
}

// Adds `note` to the pending exception; a failure to add it is discarded.
void add_note(PyObject* note) {
  PyObject* exception = take_raised_exception();
  Ref done = Ref::steal(PyObject_CallMethod(exception, "add_note", "O", note));
  PyErr_Clear();
  restore_raised_exception(exception);
}

}  // namespace

bool is_ordinary(PyObject* exception) {
  return PyErr_GivenExceptionMatches(exception, PyExc_Exception) &&
         !PyErr_GivenExceptionMatches(exception, PyExc_MemoryError);
}

std::optional<RowFailure> take_row_failure(std::size_t row, const char* param, RaisedIn raised_in) {
  PyObject* exception = take_raised_exception();
  if (exception == nullptr || !is_ordinary(exception)) {
    restore_raised_exception(exception);
    return std::nullopt;
  }
  return RowFailure{row, Ref::steal(exception), param, raised_in};
}

PyObject* raise_row_failure(RowFailure&& failure) {
  PyObject* original = failure.exception.get();
  Ref hint = failure.hint != nullptr ? Ref::steal(PyUnicode_FromString(failure.hint)) : Ref();
  PyErr_Clear();  // a note that cannot be made is left out
  Ref tagged;
  if (failure.raised_in != RaisedIn::Caller) {
    Ref text = tagged_text(original, failure.row);
    if (!text) PyErr_Clear();  // its str() fails: raised as it is, below
    tagged = text ? same_type_with_text(original, text.get()) : Ref();
  }
  if (tagged) {
    // The readers' own errors are raised afresh; a conversion's keeps its origin.
    if (failure.raised_in == RaisedIn::Conversion)
      PyException_SetCause(tagged.get(), failure.exception.release());
    restore_raised_exception(tagged.release());
  } else {
    // The caller's own exception, or one that cannot be rebuilt, is raised as
    // it was, the row in a note.
    Ref note = Ref::steal(PyUnicode_FromFormat("at row %zu", failure.row));
    PyErr_Clear();  // a note that cannot be made is left out
    restore_raised_exception(failure.exception.release());
    if (note) add_note(note.get());
  }
  if (hint) add_note(hint.get());
  add_processing_note(failure.param);
  return nullptr;
}

PyObject* raise_core_row_error(const RowError& error) {
  const std::string text = error.error.message() + " (row " + std::to_string(error.row) + ")";
  raise_failure(Failure(RuntimeText{text}));
  return nullptr;
}

}  // namespace drel::py
