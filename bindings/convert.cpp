#include "bindings/convert.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>

#include "bindings/buffer_format.hpp"
#include "bindings/ndarray_header.hpp"
#include "bindings/once.hpp"

namespace drel::py {
namespace {

OnceObject sequence_class_cell;
OnceObject add_note_name_cell;
OnceObject module_name_cell;
OnceObject numpy_name_cell;

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

// The numpy boolean type, once one has been recognised by its module and name:
// later targets of that type skip the attribute lookups. Written with the
// interpreter lock held; the reference is kept for good.
PyTypeObject* known_numpy_bool_type = nullptr;

void remember_numpy_bool_type(PyTypeObject* type) {
  if (known_numpy_bool_type == nullptr) {
    known_numpy_bool_type = reinterpret_cast<PyTypeObject*>(Py_NewRef(type));
  }
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

// Clears the pending exception when it is an ordinary one (an Exception other
// than MemoryError) and says so. Interrupts, exits and memory exhaustion are
// never taken for "this object has no length" or "no buffer here".
bool clear_if_ordinary() {
  if (PyErr_ExceptionMatches(PyExc_Exception) && !PyErr_ExceptionMatches(PyExc_MemoryError)) {
    PyErr_Clear();
    return true;
  }
  return false;
}

// Appends `n` elements of one kind, `stride` bytes apart, each converted as
// float() converts it.
void append_elements(const char* p, Py_ssize_t n, Py_ssize_t stride, ElementKind kind,
                     FeatureBuffer& out) {
  if (n == 0) return;
  const std::size_t first = out.size();
  out.resize_for_overwrite(first + static_cast<std::size_t>(n));
  double* dst = &out[first];
  with_element_reader(kind, [&]<class Reader>(Reader) {
    for (Py_ssize_t i = 0; i < n; ++i, p += stride) dst[i] = Reader::read(p);
  });
}

class BufferView {
 public:
  // False when the object refused the request (an exception is set).
  bool acquire(PyObject* o, int flags) { return held_ = PyObject_GetBuffer(o, &view_, flags) == 0; }
  BufferView() = default;
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  ~BufferView() {
    if (held_) PyBuffer_Release(&view_);
  }
  const Py_buffer& operator*() const { return view_; }
  const Py_buffer* operator->() const { return &view_; }

 private:
  Py_buffer view_;
  bool held_ = false;
};

// The element kind of a one-dimensional buffer of real numbers in native order.
std::optional<ElementKind> vector_element_kind(const Py_buffer& view) {
  if (view.ndim != 1 || view.shape == nullptr) return std::nullopt;
  // No format means unsigned bytes, which only a one-byte item can be.
  if (view.format == nullptr && view.itemsize != 1) return std::nullopt;
  return element_kind(view.format, view.itemsize);
}

Py_ssize_t first_stride(const Py_buffer& view) {
  return view.strides != nullptr ? view.strides[0] : view.itemsize;
}

// Whether `type` is numpy's own array type: a static type (no class statement
// makes one) that numpy's imported module calls `ndarray`. A name and an
// instance size are what any Python class can claim, so neither is trusted on
// its own; no field of an instance is read before this holds.
bool is_numpy_ndarray(PyTypeObject* type) {
  if (std::strcmp(type->tp_name, "numpy.ndarray") != 0 ||
      PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) ||
      type->tp_basicsize < static_cast<Py_ssize_t>(sizeof(ndarray::ArrayHeader)))
    return false;
  PyObject* name = interned(numpy_name_cell, "numpy");
  if (name == nullptr) {
    PyErr_Clear();
    return false;
  }
  Ref numpy = Ref::steal(PyImport_GetModule(name));  // never imports
  // Read from the module's own dict, so that no attribute hook runs here.
  PyObject* exported = numpy && PyModule_Check(numpy.get())
                           ? PyDict_GetItemString(PyModule_GetDict(numpy.get()), "ndarray")
                           : nullptr;
  PyErr_Clear();
  return exported == reinterpret_cast<PyObject*>(type);
}

void learn_ndarray_type(PyObject* o, const Py_buffer& view, ElementKind kind) {
  PyTypeObject* type = Py_TYPE(o);
  if (ndarray::trusted_type != nullptr || !is_numpy_ndarray(type)) return;
  // The plain fields first: no pointer of the header is followed unless
  // those already agree with the buffer.
  const auto* header = reinterpret_cast<const ndarray::ArrayHeader*>(o);
  if (header->data != view.buf || header->nd != 1) return;
  const std::optional<ndarray::Run> run = ndarray::one_dimensional_run(o);
  // numpy reports a conventional stride for a contiguous vector, which for
  // fewer than two elements need not be the one it keeps.
  if (run && run->kind == kind && run->length == view.shape[0] &&
      (run->length < 2 || run->stride == first_stride(view))) {
    ndarray::trusted_type = reinterpret_cast<PyTypeObject*>(Py_NewRef(type));
  }
}

// A one-dimensional buffer of real numbers, read in place, strides honoured.
// Returns nullopt when `o` exports no such buffer (or refuses with an
// ordinary exception); false when the request raised anything else.
std::optional<bool> read_buffer(PyObject* o, FeatureBuffer& out) {
  if (!PyObject_CheckBuffer(o)) return std::nullopt;
  BufferView view;
  if (!view.acquire(o, PyBUF_STRIDES | PyBUF_FORMAT)) {
    if (clear_if_ordinary()) return std::nullopt;
    return false;
  }
  const std::optional<ElementKind> kind = vector_element_kind(*view);
  if (!kind) return std::nullopt;
  learn_ndarray_type(o, *view, *kind);
  append_elements(static_cast<const char*>(view->buf), view->shape[0], first_stride(*view), *kind,
                  out);
  return true;
}

// An exact numpy array of one dimension and a supported kind, read through
// its header; false for anything else.
bool read_trusted_ndarray(PyObject* o, FeatureBuffer& out) {
  if (Py_TYPE(o) != ndarray::trusted_type) return false;
  const std::optional<ndarray::Run> run = ndarray::one_dimensional_run(o);
  if (!run) return false;
  append_elements(run->data, run->length, run->stride, run->kind, out);
  return true;
}

bool convert_item(PyObject* item, FeatureBuffer& out, RaisedBy& raised_by) {
  double v;
  if (!to_double(item, v, raised_by)) return false;
  out.push_back(v);
  return true;
}

// Exact floats from items[first, n) into dst[first, n), up to the first item
// of another type; returns that item's index (n when there is none). Reading an
// exact float runs no Python code, so the container cannot change meanwhile.
Py_ssize_t copy_exact_floats(PyObject* const* items, Py_ssize_t first, Py_ssize_t n,
                             double* dst) {
  for (Py_ssize_t i = first; i < n; ++i) {
    PyObject* item = items[i];
    if (!PyFloat_CheckExact(item)) [[unlikely]] return i;
    dst[i] = PyFloat_AS_DOUBLE(item);
  }
  return n;
}

// The exact floats at the front of `items` go straight into `out`; the
// returned index is where the careful conversion has to go on.
Py_ssize_t read_float_prefix(PyObject* const* items, Py_ssize_t n, FeatureBuffer& out) {
  if (n == 0) return 0;
  out.resize_for_overwrite(static_cast<std::size_t>(n));
  const Py_ssize_t done = copy_exact_floats(items, 0, n, &out[0]);
  if (done < n) out.resize_for_overwrite(static_cast<std::size_t>(done));
  return done;
}

// Exact lists are re-measured at every step and each item is held while its
// __float__ runs, exactly as the list iterator would behave. Exact floats run
// no Python code, so a leading run of them is copied without either.
bool read_list(PyObject* list, FeatureBuffer& out, RaisedBy& raised_by) {
  Py_ssize_t i = read_float_prefix(PySequence_Fast_ITEMS(list), PyList_GET_SIZE(list), out);
  for (; i < PyList_GET_SIZE(list); ++i) {
    PyObject* item = PyList_GET_ITEM(list, i);
    if (PyFloat_CheckExact(item)) {
      out.push_back(PyFloat_AS_DOUBLE(item));
      continue;
    }
    Ref held = Ref::borrow(item);
    if (!convert_item(held.get(), out, raised_by)) return false;
  }
  return true;
}

bool read_tuple(PyObject* tuple, FeatureBuffer& out, RaisedBy& raised_by) {
  const Py_ssize_t n = PyTuple_GET_SIZE(tuple);
  Py_ssize_t i = read_float_prefix(PySequence_Fast_ITEMS(tuple), n, out);
  if (i == n) return true;
  out.reserve(static_cast<std::size_t>(n));
  for (; i < n; ++i) {
    if (!convert_item(PyTuple_GET_ITEM(tuple, i), out, raised_by)) return false;
  }
  return true;
}

// A reported length is only a hint: a sequence may claim far more items than it
// yields, so the reservation is capped and the buffer grows past it as needed.
constexpr Py_ssize_t kMaxLengthHint = Py_ssize_t{1} << 20;

constexpr std::size_t kItemsBetweenSignals = std::size_t{1} << 16;

// Everything that fails here but a conversion of an item is the object's own
// __len__, __iter__ or __next__ (or __getitem__, behind iter()).
bool read_iterable(PyObject* o, FeatureBuffer& out, RaisedBy& raised_by) {
  raised_by = RaisedBy::Value;
  const Py_ssize_t hint = PyObject_Size(o);
  if (hint < 0) {
    if (!clear_if_ordinary()) return false;
  } else {
    out.reserve(static_cast<std::size_t>(std::min(hint, kMaxLengthHint)));
  }
  Ref iterator = Ref::steal(PyObject_GetIter(o));
  if (!iterator) return false;
  // Ctrl-C is answered on the way: an iterator of C code (itertools.repeat)
  // runs no Python code that would, and may never end.
  std::size_t until_signals = kItemsBetweenSignals;
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    if (!convert_item(item.get(), out, raised_by)) return false;
    if (--until_signals == 0) {
      until_signals = kItemsBetweenSignals;
      if (PyErr_CheckSignals() != 0) return false;
    }
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
  RaisedBy ignored;
  return to_bool(o, out, ignored);
}

bool to_bool(PyObject* o, bool& out, RaisedBy& raised_by) {
  raised_by = RaisedBy::Conversion;
  if (o == Py_True || o == Py_False) [[likely]] {
    out = (o == Py_True);
    return true;
  }
  PyTypeObject* type = Py_TYPE(o);
  if (type != known_numpy_bool_type) [[unlikely]] {
    if (!is_numpy_bool_type(type)) {
      raise_not_instance(o, "bool");
      return false;
    }
    remember_numpy_bool_type(type);
  }
  inquiry truth = type->tp_as_number != nullptr ? type->tp_as_number->nb_bool : nullptr;
  if (truth == nullptr) {
    raise_type_error("object of type '" + qualified_type_name(type) +
                     "' does not define a '__bool__' conversion");
    return false;
  }
  const int value = truth(o);
  raised_by = RaisedBy::Value;
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
  RaisedBy ignored;
  return to_features(o, out, ignored);
}

bool to_features(PyObject* o, FeatureBuffer& out, RaisedBy& raised_by) {
  raised_by = RaisedBy::Conversion;
  if (PyList_CheckExact(o)) return read_list(o, out, raised_by);
  if (PyTuple_CheckExact(o)) return read_tuple(o, out, raised_by);
  if (read_trusted_ndarray(o, out)) return true;
  if (PyUnicode_Check(o)) {
    raised_by = RaisedBy::Text;
    raise_type_error("Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(o)) {
    PyObject* sequence = sequence_class();
    if (sequence == nullptr) return false;
    raise_not_instance(o, qualified_type_name(reinterpret_cast<PyTypeObject*>(sequence)).c_str());
    return false;
  }
  if (std::optional<bool> read = read_buffer(o, out)) {
    raised_by = RaisedBy::Value;  // only what is never held back: an interrupt
    return *read;
  }
  return read_iterable(o, out, raised_by);
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
