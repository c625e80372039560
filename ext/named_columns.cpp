#include "named_columns.hpp"

#include <algorithm>
#include <cstddef>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>

#include "bindings/guard.hpp"
#include "bulk_result.hpp"
#include "hashed_samples.hpp"
#include "module_type.hpp"
#include "sample_items.hpp"

namespace drel::py {
namespace {

// The columns by the UTF-8 bytes of their names: two exact strings are equal
// exactly when their bytes are, so a plain sample's names, "name=value" ones
// included, are found without making a Python string.
struct BytesHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view bytes) const noexcept {
    return std::hash<std::string_view>{}(bytes);
  }
};
using ColumnsByBytes = std::unordered_map<std::string, Py_ssize_t, BytesHash, std::equal_to<>>;

struct ColumnsObject {
  PyObject_HEAD
  PyObject* columns;  // a private copy: exact str name -> int column in [0, width)
  ColumnsByBytes* by_bytes;  // the same, but for names without UTF-8 (lone surrogates)
  Py_ssize_t width;
  bool refuse_unknown;
};

ColumnsObject* as_columns(PyObject* self) { return reinterpret_cast<ColumnsObject*>(self); }

// left + "=" + right for two exact strings, in one allocation.
PyObject* join_with_equals(PyObject* left, PyObject* right) {
  const Py_ssize_t n = PyUnicode_GET_LENGTH(left), m = PyUnicode_GET_LENGTH(right);
  const Py_UCS4 widest = std::max({PyUnicode_MAX_CHAR_VALUE(left),
                                   PyUnicode_MAX_CHAR_VALUE(right), Py_UCS4{'='}});
  Ref joined = Ref::steal(PyUnicode_New(n + 1 + m, widest));
  if (!joined || PyUnicode_CopyCharacters(joined.get(), 0, left, 0, n) < 0 ||
      PyUnicode_WriteChar(joined.get(), n, '=') < 0 ||
      PyUnicode_CopyCharacters(joined.get(), n + 1, right, 0, m) < 0)
    return nullptr;
  return joined.release();
}

// Writes a sample's features into a zeroed row. What a Python loop over
// x.items() does, in the same order and with the same errors: a string value v
// of feature f sets the column f"{f}={v}" to 1.0; a name outside the list is
// skipped (its value unread) or refused with KeyError; any other value is
// float(value).
class RowWriter {
 public:
  RowWriter(const ColumnsObject& self, std::span<double> row) : self_(self), row_(row) {}

  bool write(PyObject* sample) {
    // Not a mapping at all (a list of values, an array): said as the hasher says it,
    // rather than as the missing items() of the loop.
    if (!PyDict_Check(sample) && PyObject_HasAttrString(sample, "items") == 0) {
      PyErr_Format(PyExc_TypeError,
                   "a sample must be a mapping of feature names to values, not '%s'",
                   Py_TYPE(sample)->tp_name);
      return false;
    }
    if (PyDict_CheckExact(sample)) {
      switch (write_plain(sample)) {
        case Plain::Written: return true;
        case Plain::Failed: return false;
        case Plain::NotPlain: std::fill(row_.begin(), row_.end(), 0.0); break;
      }
    }
    return for_each_named_value(sample,
                                "a sample's items must be (name, value) pairs, got %zd items",
                                [this](PyObject* name, PyObject* value) {
                                  return write_feature(name, value);
                                });
  }

 private:
  // An exact dict of exact str names to exact str, float, int or bool values:
  // reading it runs no Python code, so it is walked in place.
  enum class Plain { Written, Failed, NotPlain };
  Plain write_plain(PyObject* sample) {
    Py_ssize_t position = 0;
    PyObject *name, *value;
    while (PyDict_Next(sample, &position, &name, &value)) {
      if (!PyUnicode_CheckExact(name)) return Plain::NotPlain;
      if (!PyUnicode_CheckExact(value) && !PyFloat_CheckExact(value) &&
          !PyLong_CheckExact(value) && !PyBool_Check(value))
        return Plain::NotPlain;
      if (!write_plain_feature(name, value)) return Plain::Failed;
    }
    return Plain::Written;
  }

  // One feature of a plain sample, found by its bytes; anything the bytes
  // cannot settle (no UTF-8, an unknown name to refuse) goes the general way.
  bool write_plain_feature(PyObject* name, PyObject* value) {
    const bool joined = PyUnicode_CheckExact(value);
    std::string_view left, right;
    if (!utf8_of(name, left) || (joined && !utf8_of(value, right))) {
      PyErr_Clear();
      return write_feature(name, value);
    }
    constexpr std::size_t kStackBytes = 256;
    char stack[kStackBytes];
    std::string heap;
    std::string_view key = left;
    if (joined) {
      const std::size_t size = left.size() + 1 + right.size();
      char* bytes = stack;
      if (size > kStackBytes) {
        heap.resize(size);
        bytes = heap.data();
      }
      std::copy(left.begin(), left.end(), bytes);
      bytes[left.size()] = '=';
      std::copy(right.begin(), right.end(), bytes + left.size() + 1);
      key = {bytes, size};
    }
    const auto found = self_.by_bytes->find(key);
    if (found == self_.by_bytes->end()) return !self_.refuse_unknown || write_feature(name, value);
    if (joined) return set(found->second, 1.0);
    return set_number(found->second, name, value);
  }

  bool set(Py_ssize_t column, double value) {
    row_[static_cast<std::size_t>(column)] = value;
    return true;
  }

  // The real number `value` into the column: never text parsed as a number.
  bool set_number(Py_ssize_t column, PyObject* name, PyObject* value) {
    double number;
    return feature_number(name, value, "", number) && set(column, number);
  }

  bool write_feature(PyObject* name, PyObject* value) {
    Ref joined;
    if (PyUnicode_Check(value)) {
      // f"{name}={value}": each side formatted with an empty spec.
      Ref left = Ref::steal(PyObject_Format(name, nullptr));
      Ref right = left ? Ref::steal(PyObject_Format(value, nullptr)) : Ref();
      joined = right ? Ref::steal(join_with_equals(left.get(), right.get())) : Ref();
      if (!joined) return false;
      name = joined.get();
    }
    Py_ssize_t column = -1;
    if (PyUnicode_Check(name)) {
      PyObject* found = PyDict_GetItemWithError(self_.columns, name);
      if (found == nullptr && PyErr_Occurred()) return false;
      if (found != nullptr) column = PyLong_AsSsize_t(found);  // checked when made
    }
    if (column < 0) {
      if (!self_.refuse_unknown) return true;
      PyErr_Format(PyExc_KeyError, "feature %R is not one of `features`", name);
      return false;
    }
    return joined ? set(column, 1.0) : set_number(column, name, value);
  }

  const ColumnsObject& self_;
  std::span<double> row_;
};

PyObject* row(PyObject* self, PyObject* sample) {
  return guarded([&]() -> PyObject* {
    const ColumnsObject& columns = *as_columns(self);
    BulkResult result;
    if (!result.allocate(ResultKind::Real, static_cast<std::size_t>(columns.width)))
      return nullptr;
    std::fill(result.reals().begin(), result.reals().end(), 0.0);
    if (!RowWriter(columns, result.reals()).write(sample)) return nullptr;
    return result.release();
  });
}

PyObject* new_columns(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"columns", "refuse_unknown", nullptr};
    PyObject* given = nullptr;
    int refuse_unknown = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!p:NamedColumns",
                                     const_cast<char**>(keywords), &PyDict_Type, &given,
                                     &refuse_unknown))
      return nullptr;
    Ref columns = Ref::steal(PyDict_Copy(given));
    if (!columns) return nullptr;
    const Py_ssize_t width = PyDict_GET_SIZE(columns.get());
    Py_ssize_t position = 0;
    PyObject *name, *column;
    while (PyDict_Next(columns.get(), &position, &name, &column)) {
      const Py_ssize_t index = PyLong_CheckExact(column) ? PyLong_AsSsize_t(column) : -1;
      if (index == -1 && PyErr_Occurred()) PyErr_Clear();
      if (!PyUnicode_CheckExact(name) || index < 0 || index >= width) {
        PyErr_SetString(PyExc_ValueError,
                        "NamedColumns: columns must map str names to the ints 0 to len - 1");
        return nullptr;
      }
    }
    auto by_bytes = std::make_unique<ColumnsByBytes>();
    position = 0;
    while (PyDict_Next(columns.get(), &position, &name, &column)) {
      std::string_view bytes;
      if (utf8_of(name, bytes))
        by_bytes->emplace(std::string(bytes), PyLong_AsSsize_t(column));
      else
        PyErr_Clear();  // found through the dict instead
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    as_columns(self)->by_bytes = by_bytes.release();
    as_columns(self)->columns = columns.release();
    as_columns(self)->width = width;
    as_columns(self)->refuse_unknown = refuse_unknown != 0;
    return self;
  });
}

PyObject* get_width(PyObject* self, void*) { return PyLong_FromSsize_t(as_columns(self)->width); }

void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  Py_XDECREF(as_columns(self)->columns);
  delete as_columns(self)->by_bytes;
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef methods[] = {
    {"row", row, METH_O,
     "row(x, /)\n--\n\nThe dict x as a row of width floats (a numpy array when numpy is\n"
     "installed, else a list)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"width", get_width, nullptr, "Number of columns (int).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(new_columns)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {Py_tp_doc, const_cast<char*>(
                    "NamedColumns(columns, refuse_unknown)\n--\n\n"
                    "Dict samples as rows whose columns are named: columns maps each name to\n"
                    "its column. A string value v of feature f sets the column 'f=v' to 1.0.")},
    {0, nullptr},
};

PyType_Spec spec = {"drel_ml_ext._native.NamedColumns", sizeof(ColumnsObject), 0,
                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};

}  // namespace

int add_named_columns(PyObject* module) {
  return add_module_type(module, spec, "NamedColumns") != nullptr ? 0 : -1;
}

}  // namespace drel::py
