#include "bindings/frame.hpp"

namespace drel::py {
namespace {

// Messages may quote user text, so decode leniently rather than fail to raise.
void raise_runtime_error(const std::string& text) {
  Ref message = Ref::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (message) PyErr_SetObject(PyExc_RuntimeError, message.get());
}

}  // namespace

void raise_failure(const Failure& failure) {
  if (const auto* error = std::get_if<Error>(&failure)) {
    raise_runtime_error(error->message());
  } else if (const auto* text = std::get_if<RuntimeText>(&failure)) {
    raise_runtime_error(text->text);
  }
}

PyObject* to_python(double v) { return PyFloat_FromDouble(v); }
PyObject* to_python(bool v) { return Py_NewRef(v ? Py_True : Py_False); }
PyObject* to_python(std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
PyObject* to_python(std::optional<double>&& v) {
  return v ? PyFloat_FromDouble(*v) : Py_NewRef(Py_None);
}
PyObject* to_python(std::vector<double>&& v) { return from_doubles(v); }
PyObject* to_python(std::string&& v) { return from_text(v); }

}  // namespace drel::py
