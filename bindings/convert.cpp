#include "convert.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>

#include "once.hpp"

namespace drel::py {
namespace {

OnceObject sequence_class_cell;
OnceObject add_note_name_cell;
OnceObject module_name_cell;

PyObject* interned(OnceObject& cell, const char* text) {
  return cell.get([text] { return PyUnicode_InternFromString(text); });
}

// collections.abc.Sequence, looked up once per process.
PyObject* sequence_class() {
  return sequence_class_cell.get([] {
    Ref module = Ref::steal(PyImport_ImportModule("collections.abc"));
    return module ? PyObject_GetAttrString(module.get(), "Sequence") : nullptr;
  });
}

// Qualified type name as UTF-8 text, or the stand-in when it cannot be had.
std::string qualified_type_name(PyTypeObject* type) {
  Ref name = Ref::steal(PyType_GetQualName(type));
  const char* text = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return "<failed to extract type name>";
  }
  return text;
}

void raise_type_error(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
}

bool is_numpy_bool_type(PyTypeObject* type) {
  PyObject* module_key = interned(module_name_cell, "__module__");
  if (module_key == nullptr) return false;
  Ref module = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(type), module_key));
  if (!module || !PyUnicode_Check(module.get()) ||
      PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) {
    PyErr_Clear();
    return false;
  }
  Ref name = Ref::steal(PyType_GetName(type));
  if (!name) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
         PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0;
}

bool is_native_float64(const Py_buffer& view) {
  if (view.ndim != 1 || view.itemsize != 8 || view.format == nullptr) return false;
  const char* f = view.format;
  if (*f == '@' || *f == '=' || *f == '<') ++f;  // this build is little-endian x86-64
  return std::strcmp(f, "d") == 0;
}

// One-dimensional native float64 buffer: read in place, strides honoured.
// Returns nullopt when `o` does not export such a buffer.
std::optional<bool> read_float64_buffer(PyObject* o, FeatureBuffer& out) {
  if (!PyObject_CheckBuffer(o)) return std::nullopt;
  Py_buffer view;
  if (PyObject_GetBuffer(o, &view, PyBUF_STRIDES | PyBUF_FORMAT) != 0) {
    PyErr_Clear();
    return std::nullopt;
  }
  std::optional<bool> done;
  if (is_native_float64(view)) {
    const Py_ssize_t n = view.shape[0];
    const Py_ssize_t stride = view.strides != nullptr ? view.strides[0] : 8;
    out.reserve(static_cast<std::size_t>(n));
    const char* p = static_cast<const char*>(view.buf);
    for (Py_ssize_t i = 0; i < n; ++i, p += stride) {
      double v;
      std::memcpy(&v, p, sizeof v);
      out.push_back(v);
    }
    done = true;
  }
  PyBuffer_Release(&view);
  return done;
}

bool convert_item(PyObject* item, FeatureBuffer& out) {
  double v;
  if (!to_double(item, v)) return false;
  out.push_back(v);
  return true;
}

// Exact lists are re-measured at every step and each item is held while its
// __float__ runs, exactly as the list iterator would behave. An exact float
// runs no Python code, so it is read without touching its reference count.
bool read_list(PyObject* list, FeatureBuffer& out) {
  out.reserve(static_cast<std::size_t>(PyList_GET_SIZE(list)));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
    PyObject* item = PyList_GET_ITEM(list, i);
    if (PyFloat_CheckExact(item)) [[likely]] {
      out.push_back(PyFloat_AS_DOUBLE(item));
      continue;
    }
    Ref held = Ref::borrow(item);
    if (!convert_item(held.get(), out)) return false;
  }
  return true;
}

bool read_tuple(PyObject* tuple, FeatureBuffer& out) {
  const Py_ssize_t n = PyTuple_GET_SIZE(tuple);
  out.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!convert_item(PyTuple_GET_ITEM(tuple, i), out)) return false;
  }
  return true;
}

// A reported length is only a hint: a sequence may claim far more items than it
// yields, so the reservation is capped and the buffer grows past it as needed.
constexpr Py_ssize_t kMaxLengthHint = Py_ssize_t{1} << 20;

bool read_iterable(PyObject* o, FeatureBuffer& out) {
  const Py_ssize_t hint = PyObject_Size(o);
  if (hint < 0) {
    PyErr_Clear();
  } else {
    out.reserve(static_cast<std::size_t>(std::min(hint, kMaxLengthHint)));
  }
  Ref iterator = Ref::steal(PyObject_GetIter(o));
  if (!iterator) return false;
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    if (!convert_item(item.get(), out)) return false;
  }
  return !PyErr_Occurred();
}

}  // namespace

void raise_not_instance(PyObject* object, const char* target) {
  if (object == Py_None) {
    raise_type_error(std::string("'None' is not an instance of '") + target + "'");
    return;
  }
  raise_type_error("'" + qualified_type_name(Py_TYPE(object)) + "' object is not an instance of '" +
                   target + "'");
}

void add_processing_note(const char* name) {
  PyObject* exc = take_raised_exception();
  if (exc == nullptr) return;
  PyObject* method = interned(add_note_name_cell, "add_note");
  Ref note = Ref::steal(PyUnicode_FromFormat("while processing '%s'", name));
  if (method != nullptr && note) {
    Ref result = Ref::steal(PyObject_CallMethodOneArg(exc, method, note.get()));
  }
  PyErr_Clear();  // a failure to attach the note is not the caller's error
  restore_raised_exception(exc);
}

bool to_count(PyObject* o, std::uint64_t& out) {
  Ref index;
  if (!PyLong_Check(o)) {
    index = Ref::steal(PyNumber_Index(o));
    if (!index) return false;
    o = index.get();
  }
  out = PyLong_AsUnsignedLongLong(o);
  return !(out == static_cast<std::uint64_t>(-1) && PyErr_Occurred());
}

bool to_text(PyObject* o, std::string_view& out) {
  if (!PyUnicode_Check(o)) {
    raise_not_instance(o, "str");
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(o, &size);
  if (data == nullptr) return false;
  out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

bool to_bool(PyObject* o, bool& out) {
  if (o == Py_True || o == Py_False) [[likely]] {
    out = (o == Py_True);
    return true;
  }
  PyTypeObject* type = Py_TYPE(o);
  if (!is_numpy_bool_type(type)) {
    raise_not_instance(o, "bool");
    return false;
  }
  inquiry truth = type->tp_as_number != nullptr ? type->tp_as_number->nb_bool : nullptr;
  if (truth == nullptr) {
    raise_type_error("object of type '" + qualified_type_name(type) +
                     "' does not define a '__bool__' conversion");
    return false;
  }
  const int value = truth(o);
  if (value == 0 || value == 1) {
    out = value == 1;
    return true;
  }
  if (!PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError, "truth slot of a numpy boolean returned an invalid value");
  }
  return false;
}

bool to_features(PyObject* o, FeatureBuffer& out) {
  if (PyList_CheckExact(o)) return read_list(o, out);
  if (PyTuple_CheckExact(o)) return read_tuple(o, out);
  if (PyUnicode_Check(o)) {
    raise_type_error("Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(o)) {
    PyObject* sequence = sequence_class();
    if (sequence == nullptr) return false;
    raise_not_instance(o, qualified_type_name(reinterpret_cast<PyTypeObject*>(sequence)).c_str());
    return false;
  }
  if (std::optional<bool> read = read_float64_buffer(o, out)) return *read;
  return read_iterable(o, out);
}

PyObject* from_doubles(std::span<const double> values) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(values.size()));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* item = PyFloat_FromDouble(values[i]);
    if (item == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

PyObject* from_text(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

}  // namespace drel::py
