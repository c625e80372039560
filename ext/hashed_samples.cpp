#include "hashed_samples.hpp"

#include "bindings/convert.hpp"

namespace drel::py {

std::string_view input_type_name(InputType type) {
  for (auto [name, value] : kInputTypes)
    if (value == type) return name;
  return "dict";
}

// Adds "in sample {row}" to the pending exception; a failure to add is discarded.
void add_row_note(std::size_t row) {
  PyObject* error = take_raised_exception();
  Ref note = Ref::steal(PyUnicode_FromFormat("in sample %zu of transform_many", row));
  if (note) {
    Ref added = Ref::steal(PyObject_CallMethod(error, "add_note", "O", note.get()));
    if (!added) PyErr_Clear();
  } else {
    PyErr_Clear();
  }
  restore_raised_exception(error);
}

}  // namespace drel::py
