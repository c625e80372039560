#include "by_key.hpp"

#include <bit>
#include <cstring>

#include "bindings/frame.hpp"
#include "bindings/guard.hpp"
#include "without_gil.hpp"

namespace drel::py::by_key {
namespace {

// ---- offsets ----

bool is_int64_format(const char* format) {
  if (format == nullptr) return false;
  if (*format == '@' || *format == '=' || *format == '<') ++format;
  return std::strlen(format) == 1 && std::strchr("qlnQLN", *format) != nullptr;
}

// An int64 (or uint64) 1-D buffer, read in place; false (nothing held) when
// `o` is none.
bool offsets_from_buffer(const KeySpec& spec, PyObject* o, std::vector<std::size_t>& out,
                         bool& read) {
  read = false;
  if (!PyObject_CheckBuffer(o)) return true;
  Py_buffer view;
  if (PyObject_GetBuffer(o, &view, PyBUF_RECORDS_RO) != 0) {
    PyObject* raised = take_raised_exception();
    if (!is_ordinary(raised)) {
      restore_raised_exception(raised);
      return false;
    }
    Py_DECREF(raised);
    return true;
  }
  const bool usable = view.ndim == 1 && view.itemsize == 8 && is_int64_format(view.format) &&
                      std::endian::native == std::endian::little;
  if (usable) {
    const bool is_signed = std::strchr("qln", view.format[std::strlen(view.format) - 1]) != nullptr;
    out.resize(static_cast<std::size_t>(view.shape[0]));
    const char* at = static_cast<const char*>(view.buf);
    for (std::size_t i = 0; i < out.size(); ++i, at += view.strides[0]) {
      std::int64_t value;
      std::memcpy(&value, at, sizeof value);
      if (is_signed && value < 0) {
        PyBuffer_Release(&view);
        PyErr_Format(PyExc_ValueError, "%s offsets[%zu] is negative", spec.full_name, i);
        return false;
      }
      out[i] = static_cast<std::size_t>(value);
    }
    read = true;
  }
  PyBuffer_Release(&view);
  return true;
}

// Ctrl-C is answered on the way: an iterator of C code (itertools.count)
// runs no Python code that would, and may never end.
bool offsets_by_iteration(const KeySpec& spec, PyObject* o, std::vector<std::size_t>& out) {
  Ref iterator = Ref::steal(PyObject_GetIter(o));
  if (!iterator) return false;
  SignalBudget signals;
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    if (!signals.spend(1)) return false;
    Ref index = Ref::steal(PyNumber_Index(item.get()));
    if (!index) return false;
    const Py_ssize_t value = PyLong_AsSsize_t(index.get());
    if (value == -1 && PyErr_Occurred()) return false;
    if (value < 0) {
      PyErr_Format(PyExc_ValueError, "%s offsets[%zu] is negative", spec.full_name, out.size());
      return false;
    }
    out.push_back(static_cast<std::size_t>(value));
  }
  return !PyErr_Occurred();
}

}  // namespace

// "Mean" for drel_ml's classes (named builtins.Mean), "int" for an int.
const char* short_name(PyTypeObject* type) {
  const char* dot = std::strrchr(type->tp_name, '.');
  return dot != nullptr ? dot + 1 : type->tp_name;
}
const char* type_name(PyObject* o) { return o == Py_None ? "None" : short_name(Py_TYPE(o)); }

// keys + 1 positions from 0, never decreasing; the last is checked against
// the rows once X is converted.
bool read_offsets(const KeySpec& spec, PyObject* o, std::size_t keys,
                  std::vector<std::size_t>& out) {
  bool read = false;
  if (!offsets_from_buffer(spec, o, out, read)) return false;
  if (!read && !offsets_by_iteration(spec, o, out)) return false;
  if (out.size() != keys + 1) {
    PyErr_Format(PyExc_ValueError, "%s offsets holds %zu positions, expected %zu (one more than %s)",
                 spec.full_name, out.size(), keys + 1, spec.names[0]);
    return false;
  }
  if (out[0] != 0) {
    PyErr_Format(PyExc_ValueError, "%s offsets[0] is %zu, expected 0", spec.full_name, out[0]);
    return false;
  }
  for (std::size_t k = 1; k < out.size(); ++k) {
    if (out[k] < out[k - 1]) {
      PyErr_Format(PyExc_ValueError, "%s offsets decrease at offsets[%zu]: %zu after %zu",
                   spec.full_name, k, out[k], out[k - 1]);
      return false;
    }
  }
  return true;
}

bool offsets_cover(const KeySpec& spec, const std::vector<std::size_t>& offsets, std::size_t rows) {
  if (offsets.back() == rows) return true;
  PyErr_Format(PyExc_ValueError, "%s offsets[-1] is %zu, but %s has %zu rows", spec.full_name,
               offsets.back(), spec.names[1], rows);
  return false;
}

void raise_keyed_error(const KeySpec& spec, const KeyedError& failed) {
  const std::string text = failed.error.error.message() + " (row " +
                           std::to_string(failed.error.row) + ", " + spec.names[0] + "[" +
                           std::to_string(failed.key) + "])";
  raise_failure(Failure(RuntimeText{text}));
}

Rows slice(const Rows& rows, std::size_t lo, std::size_t count) {
  Rows part = rows;
  part.count = count;
  if (rows.offsets != nullptr) {
    part.offsets = rows.offsets + lo;
  } else {
    part.data = rows.data + lo * rows.row_stride;
  }
  return part;
}

// The objects as a new tuple, or null with TypeError: a list or a tuple only,
// so that nothing runs while they are read.
Ref object_tuple(const KeySpec& spec, PyObject* objects, std::size_t param) {
  if (!PyList_Check(objects) && !PyTuple_Check(objects)) {
    PyErr_Format(PyExc_TypeError, "%s argument '%s' must be a list or tuple, not '%s'",
                 spec.full_name, spec.names[param], type_name(objects));
    return {};
  }
  return Ref::steal(PySequence_Tuple(objects));
}


}  // namespace drel::py::by_key
