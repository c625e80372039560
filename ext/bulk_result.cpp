#include "bulk_result.hpp"

#include <atomic>
#include <limits>
#include <new>

#include "bindings/convert.hpp"
#include "bindings/once.hpp"

namespace drel::py {
namespace {

OnceObject numpy_empty_cell;
std::atomic<bool> numpy_absent{false};

// numpy.empty, or null: with nothing pending when numpy cannot be imported
// (remembered, so that a missing numpy costs one failed import per process),
// with the exception pending for any other failure.
PyObject* numpy_empty() {
  if (numpy_absent.load(std::memory_order_relaxed)) return nullptr;
  PyObject* empty = numpy_empty_cell.get([] {
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    return numpy ? PyObject_GetAttrString(numpy.get(), "empty") : nullptr;
  });
  if (empty == nullptr && PyErr_ExceptionMatches(PyExc_ImportError)) {
    PyErr_Clear();
    numpy_absent.store(true, std::memory_order_relaxed);
  }
  return empty;
}

}  // namespace

BulkResult::~BulkResult() {
  if (viewing_) PyBuffer_Release(&view_);
}

bool BulkResult::allocate(ResultKind kind, std::size_t rows, std::optional<std::size_t> width) {
  kind_ = kind;
  rows_ = rows;
  width_ = width;
  const std::size_t columns = width.value_or(1);
  if (columns != 0 && rows > std::numeric_limits<std::size_t>::max() / columns)
    throw std::bad_alloc();
  size_ = rows * columns;
  PyObject* empty = numpy_empty();
  if (empty == nullptr) {
    if (PyErr_Occurred()) return false;
    if (kind == ResultKind::Real) {
      reals_.resize(size_);
      data_ = reals_.data();
    } else {
      flags_.resize(size_);
      data_ = flags_.data();
    }
    return true;
  }
  Ref shape = Ref::steal(PyLong_FromSize_t(rows));
  if (shape && width) {
    Ref cols = Ref::steal(PyLong_FromSize_t(*width));
    shape = cols ? Ref::steal(PyTuple_Pack(2, shape.get(), cols.get())) : Ref();
  }
  if (!shape) return false;
  PyObject* dtype = reinterpret_cast<PyObject*>(kind == ResultKind::Real ? &PyFloat_Type : &PyBool_Type);
  array_ = Ref::steal(PyObject_CallFunctionObjArgs(empty, shape.get(), dtype, nullptr));
  if (!array_) return false;
  if (PyObject_GetBuffer(array_.get(), &view_, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) != 0)
    return false;
  viewing_ = true;
  const std::size_t itemsize = kind == ResultKind::Real ? sizeof(double) : 1;
  if (static_cast<std::size_t>(view_.len) != size_ * itemsize) {
    PyErr_SetString(PyExc_SystemError, "numpy.empty returned an array of an unexpected size");
    return false;
  }
  data_ = view_.buf;
  return true;
}

PyObject* BulkResult::release() {
  if (array_) {
    PyBuffer_Release(&view_);
    viewing_ = false;
    return array_.release();
  }
  auto item = [this](std::size_t i) -> PyObject* {
    return kind_ == ResultKind::Real ? PyFloat_FromDouble(reals_[i])
                                     : Py_NewRef(flags_[i] != 0 ? Py_True : Py_False);
  };
  auto list_of = [&](std::size_t begin, std::size_t count) -> PyObject* {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < count; ++i) {
      PyObject* value = item(begin + i);
      if (value == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), value);
    }
    return list.release();
  };
  if (!width_) return list_of(0, rows_);
  Ref outer = Ref::steal(PyList_New(static_cast<Py_ssize_t>(rows_)));
  if (!outer) return nullptr;
  for (std::size_t r = 0; r < rows_; ++r) {
    PyObject* row = list_of(r * *width_, *width_);
    if (row == nullptr) return nullptr;
    PyList_SET_ITEM(outer.get(), static_cast<Py_ssize_t>(r), row);
  }
  return outer.release();
}

}  // namespace drel::py
