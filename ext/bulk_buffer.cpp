#include "bulk_buffer.hpp"

#include "bulk_errors.hpp"

namespace drel::py {

bool HeldBuffer::acquire(PyObject* o) {
  if (!PyObject_CheckBuffer(o)) return true;
  if (PyObject_GetBuffer(o, &view_, PyBUF_RECORDS_RO) == 0) {
    held_ = true;
    return true;
  }
  PyObject* exception = take_raised_exception();
  if (exception != nullptr && !is_ordinary(exception)) {
    restore_raised_exception(exception);
    return false;
  }
  Py_XDECREF(exception);
  return true;
}

void HeldBuffer::release() {
  if (held_) PyBuffer_Release(&view_);
  held_ = false;
}

std::optional<ElementKind> HeldBuffer::real_kind(int ndim) const {
  if (!held_ || view_.ndim != ndim) return std::nullopt;
  // What a strided request promises; an exporter that breaks it is iterated instead.
  if (view_.shape == nullptr || view_.strides == nullptr || view_.suboffsets != nullptr)
    return std::nullopt;
  return element_kind(view_.format, view_.itemsize);
}

void read_rows(const Py_buffer& v, ElementKind kind, Py_ssize_t first, Py_ssize_t count,
               double* out) {
  with_element_reader(kind, [&]<class Reader>(Reader) {
    for (Py_ssize_t i = first; i < first + count; ++i) {
      for (Py_ssize_t j = 0; j < v.shape[1]; ++j) *out++ = Reader::read(element_at(v, i, j));
    }
  });
}

void read_values(const Py_buffer& v, ElementKind kind, Py_ssize_t first, Py_ssize_t count,
                 double* out) {
  with_element_reader(kind, [&]<class Reader>(Reader) {
    for (Py_ssize_t i = first; i < first + count; ++i) *out++ = Reader::read(element_at(v, i));
  });
}

}  // namespace drel::py
