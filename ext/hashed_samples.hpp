// Samples of the hashing trick read from Python objects (dicts, pairs or
// strings) into the core's hashed rows. Everything here touches Python
// objects: it runs with the interpreter lock.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>
#include <utility>

#include "bindings/convert.hpp"
#include "bindings/python.hpp"
#include "common/machine.hpp"
#include "features/feature_hasher.hpp"
#include "sample_items.hpp"

namespace drel::py {

using features::HashedRows;

// How a sample lists its features, as in scikit-learn's FeatureHasher.
enum class InputType { Dict, Pair, String };
constexpr std::array<std::pair<std::string_view, InputType>, 3> kInputTypes{
    {{"dict", InputType::Dict}, {"pair", InputType::Pair}, {"string", InputType::String}}};

std::string_view input_type_name(InputType type);

// The UTF-8 bytes of a str (kept by the string); false with an exception set
// when it has none (a lone surrogate).
inline bool utf8_of(PyObject* text, std::string_view& out) {
  // An ASCII string's characters are its UTF-8 bytes.
  if (PyUnicode_IS_COMPACT_ASCII(text)) [[likely]] {
    out = {static_cast<const char*>(PyUnicode_DATA(text)),
           static_cast<std::size_t>(PyUnicode_GET_LENGTH(text))};
    return true;
  }
  Py_ssize_t size;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
  if (utf8 == nullptr) return false;
  out = {utf8, static_cast<std::size_t>(size)};
  return true;
}

// Reads samples into rows: every Python object is touched here, with the lock.
class SampleReader {
 public:
  SampleReader(const features::FeatureHasher& hasher, InputType input_type)
      : input_type_(input_type), rows_(hasher) {}

  // Adds one sample as a row; false with an exception set, nothing added.
  bool read(PyObject* sample) {
    if (!read_sample(sample)) {
      rows_.discard_row();
      return false;
    }
    rows_.end_row();
    return true;
  }
  HashedRows& rows() { return rows_; }

 private:
  bool read_sample(PyObject* sample) {
    switch (input_type_) {
      case InputType::Dict: return read_mapping(sample);
      case InputType::Pair: return read_pairs(sample);
      case InputType::String: return read_strings(sample);
    }
    return false;
  }

  bool read_mapping(PyObject* sample) {
    if (PyDict_CheckExact(sample)) {
      switch (read_plain_dict(sample)) {
        case Plain::Read: return true;
        case Plain::Failed: return false;
        case Plain::NotPlain: rows_.discard_row(); break;
      }
      // Strong references: reading a value may run Python code (__float__,
      // __str__) that changes the dict under the iteration.
      Ref items = Ref::steal(PyDict_Items(sample));
      return items && read_pairs(items.get());
    }
    // Any other mapping, a dict subclass included, is read through its own
    // items(), which such a class may define.
    Ref items = items_of(sample);
    if (!items) {
      if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Format(PyExc_TypeError,
                     "FeatureHasher(input_type='dict'): a sample must be a mapping of feature "
                     "names to values, not '%.200s'",
                     Py_TYPE(sample)->tp_name);
      }
      return false;
    }
    return read_pairs(items.get());
  }

  // The common sample: an exact dict of exact str names to exact str, float, int
  // or bool values. Reading those runs no Python code, so the dict is walked in
  // place; anything else is NotPlain, and the caller starts over on the general path.
  enum class Plain { Read, Failed, NotPlain };
  //
  // The items are taken a batch at a time, each name and value asked of memory
  // as it is taken: the names of a stream's dicts are objects scattered over
  // the heap, and waiting for each in turn costs more than hashing it.
  Plain read_plain_dict(PyObject* dict) {
    constexpr std::size_t kBatch = 32;
    PyObject* names[kBatch];
    PyObject* values[kBatch];
    Py_ssize_t position = 0;
    std::size_t taken;
    do {
      taken = 0;
      while (taken < kBatch && PyDict_Next(dict, &position, &names[taken], &values[taken])) {
        prefetch_object(names[taken]);
        prefetch_object(values[taken]);
        ++taken;
      }
      for (std::size_t k = 0; k < taken; ++k)
        if (const Plain read = read_plain_item(names[k], values[k]); read != Plain::Read)
          return read;
    } while (taken == kBatch);
    return Plain::Read;
  }

  // An object's header and the bytes after it (a short str's characters).
  static void prefetch_object(PyObject* o) {
    prefetch_for_read(o);
    prefetch_for_read(reinterpret_cast<const char*>(o) + 64);
  }

  Plain read_plain_item(PyObject* name, PyObject* value) {
    if (!PyUnicode_CheckExact(name)) return Plain::NotPlain;
    bool ok;
    if (PyUnicode_CheckExact(value)) {
      ok = add_joined(name, value);
    } else if (PyFloat_CheckExact(value)) {
      ok = add(name, PyFloat_AS_DOUBLE(value));
    } else if (PyLong_CheckExact(value) || PyBool_Check(value)) {
      const double number = PyLong_AsDouble(value);
      ok = !(number == -1.0 && PyErr_Occurred()) && add(name, number);
    } else {
      return Plain::NotPlain;
    }
    return ok ? Plain::Read : Plain::Failed;
  }

  // The feature "name=value" of two exact strings, hashed from their UTF-8
  // bytes without joining them.
  bool add_joined(PyObject* name, PyObject* value) {
    std::string_view left, right;
    if (!utf8_of(name, left) || !utf8_of(value, right)) return false;
    rows_.add_joined(left, right);
    return true;
  }

  // A sample's features are its items; a str or bytes is refused rather than
  // read as its characters.
  bool not_one_string(PyObject* sample) {
    if (!is_text(sample)) [[likely]] return true;
    PyErr_Format(PyExc_ValueError,
                 "FeatureHasher(input_type='%s'): a sample must be an iterable of "
                 "features, not a single string",
                 input_type_name(input_type_).data());
    return false;
  }

  bool read_pairs(PyObject* sample) {
    return not_one_string(sample) &&
           for_each_pair(sample,
                         "FeatureHasher: a feature must be a (name, value) pair, got %zd items",
                         [this](PyObject* name, PyObject* value) {
                           return read_feature(name, value);
                         });
  }

  bool read_strings(PyObject* sample) {
    static PyObject* const one = PyLong_FromLong(1);  // immortal small int
    return not_one_string(sample) &&
           for_each_item(sample, [this](PyObject* item) { return read_feature(item, one); });
  }

  // One feature: a string value v makes the name "name=v" with value 1.
  bool read_feature(PyObject* name, PyObject* value) {
    if (PyUnicode_CheckExact(name) && PyUnicode_CheckExact(value)) return add_joined(name, value);
    if (PyUnicode_Check(value)) {
      Ref joined = Ref::steal(PyUnicode_FromFormat("%S=%S", name, value));
      return joined && add(joined.get(), 1.0);
    }
    double number;
    return feature_number(name, value, "FeatureHasher: ", number) && add(name, number);
  }

  bool add(PyObject* name, double value) {
    if (value == 0.0) return true;  // no entry, whatever the name
    std::string_view bytes;
    if (PyUnicode_Check(name)) {
      if (!utf8_of(name, bytes)) return false;
    } else if (PyBytes_Check(name)) {
      bytes = {PyBytes_AS_STRING(name), static_cast<std::size_t>(PyBytes_GET_SIZE(name))};
    } else {
      PyErr_Format(PyExc_TypeError, "FeatureHasher: feature names must be strings, not '%.200s'",
                   Py_TYPE(name)->tp_name);
      return false;
    }
    return add_bytes(bytes, value, name);
  }

  // `name` only names the feature in an error.
  bool add_bytes(std::string_view bytes, double value, PyObject* name) {
    if (auto added = rows_.add(bytes, value); !added) {
      PyErr_Format(PyExc_ValueError, "FeatureHasher: feature %R: %s", name,
                   added.error().message().c_str());
      return false;
    }
    return true;
  }

  InputType input_type_;
  HashedRows rows_;
};

// Adds "in sample {row} of transform_many" to the pending exception.
void add_row_note(std::size_t row);

}  // namespace drel::py
