// A numpy array's header, read in place. Acquiring a buffer from numpy costs
// more than converting a short list of floats (it builds its buffer info and
// format text anew on every request), so a one-dimensional row of an exact
// numpy.ndarray is read straight from the fields that numpy's own inline
// accessors read in every compiled extension. The layout is trusted only for
// numpy's own array type, found in numpy's imported module, and only after it
// has agreed with a real buffer request of that type (see convert.cpp); numpy
// itself is neither needed to build nor imported.
#pragma once

#include <cstddef>
#include <optional>

#include "bindings/buffer_format.hpp"
#include "bindings/python.hpp"

namespace drel::py::ndarray {

// The leading fields of numpy's dtype object, unchanged since numpy 1.7.
struct DescrHeader {
  PyObject_HEAD
  PyTypeObject* scalar_type;
  char kind;
  char type;
  char byteorder;  // '=' native, '|' not applicable, '<' little, '>' big
  char flags;
  int type_num;
};

// The leading fields of numpy's array object, unchanged since numpy 1.7.
struct ArrayHeader {
  PyObject_HEAD
  char* data;
  int nd;
  Py_ssize_t* dimensions;
  Py_ssize_t* strides;
  PyObject* base;
  DescrHeader* descr;
  int flags;
};

// The element kind of a dtype among numpy's built-in real-number types in
// native byte order; nullopt for everything else (complex, long double,
// datetimes, strings, objects, user-defined dtypes, swapped byte order).
inline std::optional<ElementKind> element_kind_of(const DescrHeader& descr) {
  if (descr.byteorder == '>') return std::nullopt;
  // numpy's built-in type numbers, with the C type each one stands for.
  switch (descr.type_num) {
    case 0: return ElementKind::Bool;
    case 1: return ElementKind::Int8;
    case 2: return ElementKind::UInt8;
    case 3: return ElementKind::Int16;
    case 4: return ElementKind::UInt16;
    case 5: return ElementKind::Int32;
    case 6: return ElementKind::UInt32;
    case 7: return sizeof(long) == 8 ? ElementKind::Int64 : ElementKind::Int32;
    case 8: return sizeof(long) == 8 ? ElementKind::UInt64 : ElementKind::UInt32;
    case 9: return ElementKind::Int64;
    case 10: return ElementKind::UInt64;
    case 11: return ElementKind::Float32;
    case 12: return ElementKind::Float64;
    case 23: return ElementKind::Float16;
    default: return std::nullopt;
  }
}

// numpy's own numpy.ndarray (never a class that only bears its name), once its
// header has agreed with a buffer request (convert.cpp); null until then.
// Written once, with the interpreter lock held; the reference is kept for good.
inline PyTypeObject* trusted_type = nullptr;

// A one-dimensional run of elements of one kind.
struct Run {
  const char* data;
  Py_ssize_t length;
  Py_ssize_t stride;
  ElementKind kind;
};

// The run of a one-dimensional array of a supported kind; nullopt otherwise.
inline std::optional<Run> one_dimensional_run(PyObject* array) {
  const auto* header = reinterpret_cast<const ArrayHeader*>(array);
  if (header->nd != 1) return std::nullopt;
  const std::optional<ElementKind> kind = element_kind_of(*header->descr);
  if (!kind) return std::nullopt;
  return Run{header->data, header->dimensions[0], header->strides[0], *kind};
}

}  // namespace drel::py::ndarray
