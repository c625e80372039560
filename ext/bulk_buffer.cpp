#include "bulk_buffer.hpp"

#include <string>

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

std::optional<ElementFormat> HeldBuffer::real_format(int ndim) const {
  if (!held_ || view_.ndim != ndim) return std::nullopt;
  // What a strided request promises; an exporter that breaks it is iterated instead.
  if (view_.shape == nullptr || view_.strides == nullptr || view_.suboffsets != nullptr)
    return std::nullopt;
  return element_format(view_.format, view_.itemsize);
}

bool HeldBuffer::refuse(PyObject* exporter, const char* param, int ndim, const char* shape) const {
  if (!held_) return false;
  if (view_.ndim != ndim && is_number_format(view_.format)) {
    std::string dims = "(";
    for (int i = 0; i < view_.ndim; ++i) {
      dims += std::to_string(view_.shape != nullptr ? view_.shape[i] : 0);
      if (i + 1 < view_.ndim) dims += ", ";
    }
    dims += view_.ndim == 1 ? ",)" : ")";
    const bool one_row = ndim == 2 && view_.ndim == 1;
    PyErr_Format(PyExc_TypeError, "%s; got a %d-D array of shape %s%s", shape, view_.ndim,
                 dims.c_str(), one_row ? ": pass X.reshape(1, -1) for one row" : "");
    return true;
  }
  if (PyMemoryView_Check(exporter) && !element_format(view_.format, view_.itemsize)) {
    PyErr_Format(PyExc_TypeError,
                 "%s is a buffer of format '%s', which is not read as real numbers: "
                 "convert it to float64 first",
                 param, view_.format != nullptr ? view_.format : "B");
    return true;
  }
  return false;
}

void read_rows(const Py_buffer& v, ElementFormat format, Py_ssize_t first, Py_ssize_t count,
               double* out) {
  with_element_reader(format, [&]<class Reader>(Reader) {
    for (Py_ssize_t i = first; i < first + count; ++i) {
      for (Py_ssize_t j = 0; j < v.shape[1]; ++j) *out++ = Reader::read(element_at(v, i, j));
    }
  });
}

void read_values(const Py_buffer& v, ElementFormat format, Py_ssize_t first, Py_ssize_t count,
                 double* out) {
  with_element_reader(format, [&]<class Reader>(Reader) {
    for (Py_ssize_t i = first; i < first + count; ++i) *out++ = Reader::read(element_at(v, i));
  });
}

}  // namespace drel::py
