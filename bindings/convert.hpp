// Conversions between Python values and core values, with the error texts the
// module promises.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "bindings/buffer_format.hpp"
#include "bindings/feature_buffer.hpp"
#include "bindings/ndarray_header.hpp"
#include "bindings/python.hpp"

namespace drel::py {

// "'{type}' object is not an instance of '{target}'" (or the None form).
void raise_not_instance(PyObject* object, const char* target);

// Attaches "while processing '{name}'" to the pending exception; a failure to
// attach is discarded.
void add_processing_note(const char* name);

// Who raised the exception of a failed conversion: the conversion itself,
// refusing a value for which it has no way (a str where a number belongs, a
// number where a row belongs: the texts the module promises), or the value's
// own code that the conversion ran (its __float__, __index__, __bool__,
// __iter__, __next__, __getitem__), which is the caller's exception. Text is
// the conversion refusing a str or bytes, item or row: what the bulk calls
// answer with a pointer to the hashers.
enum class RaisedBy : std::uint8_t { Conversion, Text, Value };

inline bool is_text(PyObject* o) { return PyUnicode_Check(o) || PyBytes_Check(o); }

// Each returns false with an exception set.
inline bool to_double(PyObject* o, double& out) {
  if (PyFloat_CheckExact(o)) [[likely]] {
    out = PyFloat_AS_DOUBLE(o);
    return true;
  }
  out = PyFloat_AsDouble(o);
  return !(out == -1.0 && PyErr_Occurred());
}
// The same, telling who raised: a type with neither __float__ nor __index__ is
// refused by the conversion; anything else came from one of the two.
inline bool to_double(PyObject* o, double& out, RaisedBy& raised_by) {
  if (to_double(o, out)) [[likely]] return true;
  const PyNumberMethods* number = Py_TYPE(o)->tp_as_number;
  const bool hooked = number != nullptr && (number->nb_float != nullptr || number->nb_index != nullptr);
  raised_by = hooked ? RaisedBy::Value : is_text(o) ? RaisedBy::Text : RaisedBy::Conversion;
  return false;
}
bool to_count(PyObject* o, std::uint64_t& out);
bool to_text(PyObject* o, std::string_view& out);
bool to_bool(PyObject* o, bool& out);
bool to_bool(PyObject* o, bool& out, RaisedBy& raised_by);

// Any non-str sequence: exact lists and tuples by index, one-dimensional
// buffers of real numbers in native order (integers, floats, booleans) in
// place, everything else by iteration. Results and errors are the same on
// every path: each element becomes what float() gives for it.
bool to_features(PyObject* o, FeatureBuffer& out);
bool to_features(PyObject* o, FeatureBuffer& out, RaisedBy& raised_by);

// The same, with the commonest cases inlined into the caller: an exact list of
// exact floats, or a numpy float64 row, that fits the inline room is copied in
// one pass (neither runs Python code). Anything else starts over on the
// general path, so results and errors are those of to_features.
[[gnu::always_inline]] inline bool to_features_inline(PyObject* o, FeatureBuffer& out) {
  if (Py_TYPE(o) == ndarray::trusted_type) {
    const std::optional<ndarray::Run> run = ndarray::one_dimensional_run(o);
    if (run && run->kind == ElementKind::Float64 && run->length > 0 &&
        static_cast<std::size_t>(run->length) <= FeatureBuffer::kInline) {
      out.resize_for_overwrite(static_cast<std::size_t>(run->length));
      double* dst = out.data();
      const char* p = run->data;
      for (Py_ssize_t i = 0; i < run->length; ++i, p += run->stride) {
        dst[i] = ElementReader<ElementKind::Float64>::read(p);
      }
      return true;
    }
  } else if (PyList_CheckExact(o)) [[likely]] {
    const Py_ssize_t n = PyList_GET_SIZE(o);
    if (n > 0 && static_cast<std::size_t>(n) <= FeatureBuffer::kInline) [[likely]] {
      out.resize_for_overwrite(static_cast<std::size_t>(n));
      double* dst = out.data();
      PyObject* const* items = PySequence_Fast_ITEMS(o);
      Py_ssize_t i = 0;
      for (; i < n && PyFloat_CheckExact(items[i]); ++i) dst[i] = PyFloat_AS_DOUBLE(items[i]);
      if (i == n) [[likely]] return true;
      out.resize_for_overwrite(0);
    }
  }
  return to_features(o, out);
}

PyObject* from_doubles(std::span<const double> values);
PyObject* from_text(std::string_view text);

}  // namespace drel::py
