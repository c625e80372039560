#include "feature_hasher.hpp"

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <limits>
#include <new>
#include <string_view>
#include <vector>

#include "bulk_result.hpp"
#include "bindings/convert.hpp"
#include "features/feature_hasher.hpp"
#include "bindings/guard.hpp"
#include "bindings/once.hpp"

namespace drel::py {
namespace {

using features::FeatureHasher;
using features::HashedRows;

// How a sample lists its features, as in scikit-learn's FeatureHasher.
enum class InputType { Dict, Pair, String };
constexpr std::array<std::pair<std::string_view, InputType>, 3> kInputTypes{
    {{"dict", InputType::Dict}, {"pair", InputType::Pair}, {"string", InputType::String}}};

struct HasherObject {
  PyObject_HEAD
  alignas(FeatureHasher) unsigned char storage[sizeof(FeatureHasher)];
  InputType input_type;
  const FeatureHasher& hasher() const {
    return *std::launder(reinterpret_cast<const FeatureHasher*>(storage));
  }
};

HasherObject* as_hasher(PyObject* self) { return reinterpret_cast<HasherObject*>(self); }

std::string_view input_type_name(InputType type) {
  for (auto [name, value] : kInputTypes)
    if (value == type) return name;
  return "dict";
}

// Reads samples into rows: every Python object is touched here, with the lock.
class SampleReader {
 public:
  explicit SampleReader(const HasherObject& self) : self_(self), rows_(self.hasher()) {}

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
    switch (self_.input_type) {
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
    }
    if (PyDict_Check(sample)) {
      // Strong references: reading a value may run Python code (__float__,
      // __str__) that changes the dict under the iteration.
      Ref items = Ref::steal(PyDict_Items(sample));
      return items && read_pair_list(items.get());
    }
    Ref items = Ref::steal(PyObject_CallMethod(sample, "items", nullptr));
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
  Plain read_plain_dict(PyObject* dict) {
    Py_ssize_t position = 0;
    PyObject* name;
    PyObject* value;
    while (PyDict_Next(dict, &position, &name, &value)) {
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
      if (!ok) return Plain::Failed;
    }
    return Plain::Read;
  }

  // The feature "name=value" of two exact strings, hashed from their UTF-8
  // bytes joined here: the bytes of the joined string, without making it.
  bool add_joined(PyObject* name, PyObject* value) {
    std::string_view left, right;
    if (!utf8_of(name, left) || !utf8_of(value, right)) return false;
    joined_.assign(left);
    joined_.push_back('=');
    joined_.append(right);
    return add_bytes(joined_, 1.0, name);
  }

  static bool utf8_of(PyObject* text, std::string_view& out) {
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (utf8 == nullptr) return false;
    out = {utf8, static_cast<std::size_t>(size)};
    return true;
  }

  bool read_pair_list(PyObject* list) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i)
      if (!read_pair(PyList_GET_ITEM(list, i))) return false;
    return true;
  }

  template <class Each>
  bool for_each_item(PyObject* sample, Each each) {
    if (PyUnicode_Check(sample) || PyBytes_Check(sample)) {
      PyErr_Format(PyExc_ValueError,
                   "FeatureHasher(input_type='%s'): a sample must be an iterable of "
                   "features, not a single string",
                   input_type_name(self_.input_type).data());
      return false;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(sample));
    if (!iterator) return false;
    while (Ref item = Ref::steal(PyIter_Next(iterator.get())))
      if (!each(item.get())) return false;
    return !PyErr_Occurred();
  }

  bool read_pairs(PyObject* sample) {
    return for_each_item(sample, [this](PyObject* item) { return read_pair(item); });
  }

  bool read_strings(PyObject* sample) {
    static PyObject* const one = PyLong_FromLong(1);  // immortal small int
    return for_each_item(sample, [this](PyObject* item) { return read_feature(item, one); });
  }

  bool read_pair(PyObject* item) {
    Ref pair = Ref::steal(PySequence_Tuple(item));
    if (!pair) return false;
    if (PyTuple_GET_SIZE(pair.get()) != 2) {
      PyErr_Format(PyExc_ValueError,
                   "FeatureHasher: a feature must be a (name, value) pair, got %zd items",
                   PyTuple_GET_SIZE(pair.get()));
      return false;
    }
    return read_feature(PyTuple_GET_ITEM(pair.get(), 0), PyTuple_GET_ITEM(pair.get(), 1));
  }

  // One feature: a string value v makes the name "name=v" with value 1.
  bool read_feature(PyObject* name, PyObject* value) {
    if (PyUnicode_CheckExact(name) && PyUnicode_CheckExact(value)) return add_joined(name, value);
    if (PyUnicode_Check(value)) {
      Ref joined = Ref::steal(PyUnicode_FromFormat("%S=%S", name, value));
      return joined && add(joined.get(), 1.0);
    }
    double number;
    if (!to_double(value, number)) {
      if (PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError,
                     "FeatureHasher: the value of feature %R must be a real number or a "
                     "string, not '%.200s'",
                     name, Py_TYPE(value)->tp_name);
      }
      return false;
    }
    return add(name, number);
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

  const HasherObject& self_;
  HashedRows rows_;
  std::string joined_;  // reused: "name=value" bytes
};

// Adds "in sample {row}" to the pending exception; a failure to add is discarded.
void add_row_note(std::size_t row) {
  PyObject* error = take_raised_exception();
  Ref note = Ref::steal(PyUnicode_FromFormat("in sample %zu of transform_many", row));
  if (note) {
    Ref added = Ref::steal(PyObject_CallMethod(error, "add_note", "O", note.get()));
    if (!added) PyErr_Clear();
  } else {
    PyErr_Clear();
  }
  restore_raised_exception(error);
}

// --- results ----------------------------------------------------------------------

OnceObject csr_matrix_cell;
OnceObject frombuffer_cell;

// scipy.sparse.csr_matrix, or null: nothing pending when scipy is absent.
PyObject* csr_matrix_class() {
  PyObject* csr = csr_matrix_cell.get([] {
    Ref sparse = Ref::steal(PyImport_ImportModule("scipy.sparse"));
    return sparse ? PyObject_GetAttrString(sparse.get(), "csr_matrix") : nullptr;
  });
  if (csr == nullptr && PyErr_ExceptionMatches(PyExc_ImportError)) PyErr_Clear();
  return csr;
}

PyObject* numpy_frombuffer() {
  return frombuffer_cell.get([] {
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    return numpy ? PyObject_GetAttrString(numpy.get(), "frombuffer") : nullptr;
  });
}

// A numpy array of `T` holding a copy of `values` (in a bytearray it owns).
template <class T>
PyObject* numpy_copy(const std::vector<T>& values, const char* dtype) {
  PyObject* frombuffer = numpy_frombuffer();
  if (frombuffer == nullptr) return nullptr;
  Ref bytes = Ref::steal(PyByteArray_FromStringAndSize(
      reinterpret_cast<const char*>(values.data()),
      static_cast<Py_ssize_t>(values.size() * sizeof(T))));
  if (!bytes) return nullptr;
  return PyObject_CallFunction(frombuffer, "Os", bytes.get(), dtype);
}

// Writes the rows into `dense`, zeroed first, n_features values per row.
void scatter(const HashedRows& rows, std::uint32_t n_features, std::span<double> dense) {
  std::fill(dense.begin(), dense.end(), 0.0);
  const auto indptr = rows.indptr();
  for (std::size_t r = 0; r < rows.rows(); ++r)
    for (std::size_t k = indptr[r]; k < indptr[r + 1]; ++k)
      dense[r * n_features + static_cast<std::size_t>(rows.indices()[k])] = rows.values()[k];
}

template <class Index>
PyObject* csr_from(PyObject* csr, const HashedRows& rows, std::uint32_t n_features,
                   const char* index_dtype) {
  const std::vector<Index> indptr(rows.indptr().begin(), rows.indptr().end());
  const std::vector<Index> indices(rows.indices().begin(), rows.indices().end());
  const std::vector<double> values(rows.values().begin(), rows.values().end());
  Ref data = Ref::steal(numpy_copy(values, "float64"));
  Ref index = data ? Ref::steal(numpy_copy(indices, index_dtype)) : Ref();
  Ref pointers = index ? Ref::steal(numpy_copy(indptr, index_dtype)) : Ref();
  if (!pointers) return nullptr;
  return PyObject_CallFunction(csr, "(OOO)(nI)", data.get(), index.get(), pointers.get(),
                               static_cast<Py_ssize_t>(rows.rows()), n_features);
}

// The rows as scipy's CSR matrix, with int32 indices while they fit as
// scikit-learn's hasher makes them; without scipy, dense rows.
PyObject* many_result(const HashedRows& rows, std::uint32_t n_features) {
  if (PyObject* csr = csr_matrix_class()) {
    if (rows.indptr().back() <= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
      return csr_from<std::int32_t>(csr, rows, n_features, "int32");
    return csr_from<std::int64_t>(csr, rows, n_features, "int64");
  }
  if (PyErr_Occurred()) return nullptr;
  BulkResult result;
  if (!result.allocate(ResultKind::Real, rows.rows(), std::size_t{n_features})) return nullptr;
  scatter(rows, n_features, result.reals());
  return result.release();
}

// --- methods -----------------------------------------------------------------------

PyObject* transform_one(PyObject* self, PyObject* sample) {
  return guarded([&]() -> PyObject* {
    const HasherObject& hasher = *as_hasher(self);
    SampleReader reader(hasher);
    if (!reader.read(sample)) return nullptr;
    reader.rows().sum_duplicates();
    BulkResult result;
    if (!result.allocate(ResultKind::Real, hasher.hasher().n_features())) return nullptr;
    scatter(reader.rows(), hasher.hasher().n_features(), result.reals());
    return result.release();
  });
}

// Between blocks of samples, Ctrl-C is answered.
constexpr std::size_t kSignalCheckRows = 4096;

PyObject* transform_many(PyObject* self, PyObject* samples) {
  return guarded([&]() -> PyObject* {
    const HasherObject& hasher = *as_hasher(self);
    SampleReader reader(hasher);
    Ref iterator = Ref::steal(PyObject_GetIter(samples));
    if (!iterator) return nullptr;
    while (Ref sample = Ref::steal(PyIter_Next(iterator.get()))) {
      const std::size_t row = reader.rows().rows();
      if (!reader.read(sample.get())) {
        add_row_note(row);
        return nullptr;
      }
      if ((row + 1) % kSignalCheckRows == 0 && PyErr_CheckSignals() != 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    reader.rows().sum_duplicates();
    return many_result(reader.rows(), hasher.hasher().n_features());
  });
}

PyObject* get_n_features(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(as_hasher(self)->hasher().n_features());
}
PyObject* get_alternate_sign(PyObject* self, void*) {
  return PyBool_FromLong(as_hasher(self)->hasher().alternate_sign());
}
PyObject* get_input_type(PyObject* self, void*) {
  return from_text(input_type_name(as_hasher(self)->input_type));
}

PyObject* repr(PyObject* self) {
  const HasherObject& h = *as_hasher(self);
  return PyUnicode_FromFormat("FeatureHasher(%lu, input_type='%s', alternate_sign=%s)",
                              static_cast<unsigned long>(h.hasher().n_features()),
                              input_type_name(h.input_type).data(),
                              h.hasher().alternate_sign() ? "True" : "False");
}

// Pickled by its settings: FeatureHasher(n, input_type=..., alternate_sign=...).
PyObject* getnewargs_ex(PyObject* self, PyObject*) {
  const HasherObject& h = *as_hasher(self);
  return Py_BuildValue("((k){s:s#,s:O})", static_cast<unsigned long>(h.hasher().n_features()),
                       "input_type", input_type_name(h.input_type).data(),
                       static_cast<Py_ssize_t>(input_type_name(h.input_type).size()),
                       "alternate_sign", h.hasher().alternate_sign() ? Py_True : Py_False);
}

PyObject* richcompare(PyObject* a, PyObject* b, int op) {
  if ((op != Py_EQ && op != Py_NE) || Py_TYPE(a) != Py_TYPE(b)) Py_RETURN_NOTIMPLEMENTED;
  const HasherObject& x = *as_hasher(a);
  const HasherObject& y = *as_hasher(b);
  const bool same = x.hasher().n_features() == y.hasher().n_features() &&
                    x.hasher().alternate_sign() == y.hasher().alternate_sign() &&
                    x.input_type == y.input_type;
  return PyBool_FromLong(same == (op == Py_EQ));
}

PyObject* new_hasher(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"n_features", "input_type", "alternate_sign", nullptr};
    PyObject* count = nullptr;
    const char* input_type = "dict";
    int alternate_sign = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$sp:FeatureHasher",
                                     const_cast<char**>(keywords), &count, &input_type,
                                     &alternate_sign))
      return nullptr;
    if (!PyLong_Check(count) || PyBool_Check(count)) {
      PyErr_Format(PyExc_TypeError, "FeatureHasher: n_features must be an int, not '%.200s'",
                   Py_TYPE(count)->tp_name);
      return nullptr;
    }
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(count, &overflow);
    if (n == -1 && PyErr_Occurred()) return nullptr;
    const InputType* chosen = nullptr;
    for (const auto& [name, value] : kInputTypes)
      if (name == input_type) chosen = &value;
    if (chosen == nullptr) {
      PyErr_Format(PyExc_ValueError,
                   "FeatureHasher: input_type must be 'dict', 'pair' or 'string', not '%s'",
                   input_type);
      return nullptr;
    }
    auto hasher = FeatureHasher::create(
        overflow != 0 || n < 0 ? 0 : static_cast<std::uint64_t>(n), alternate_sign != 0);
    if (!hasher) {
      PyErr_Format(PyExc_ValueError,
                   "FeatureHasher: n_features must be in [1, 2147483647], got %R", count);
      return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (as_hasher(self)->storage) FeatureHasher(*hasher);
    as_hasher(self)->input_type = *chosen;
    return self;
  });
}

void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

constexpr const char* kTransformOneDoc =
    "transform_one(x, /)\n--\n\n"
    "One sample as a dense row of n_features floats (a numpy array when numpy is\n"
    "installed, else a list), ready for a model's learn_one and predict_one.";
constexpr const char* kTransformManyDoc =
    "transform_many(X, /)\n--\n\n"
    "An iterable of samples as a scipy.sparse.csr_matrix of shape (n_samples,\n"
    "n_features) with sorted, summed entries, the same matrix scikit-learn's\n"
    "FeatureHasher gives; without scipy, dense rows. A refused sample raises with\n"
    "its number in a note.";

PyMethodDef methods[] = {
    {"transform_one", transform_one, METH_O, kTransformOneDoc},
    {"transform_many", transform_many, METH_O, kTransformManyDoc},
    {"__getnewargs_ex__", getnewargs_ex, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"n_features", get_n_features, nullptr, "Number of columns (int).", nullptr},
    {"input_type", get_input_type, nullptr, "'dict', 'pair' or 'string'.", nullptr},
    {"alternate_sign", get_alternate_sign, nullptr,
     "Whether a hash's sign flips the value (bool).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* kClassDoc =
    "FeatureHasher(n_features, *, input_type='dict', alternate_sign=True)\n--\n\n"
    "Maps named features to n_features columns by 32-bit MurmurHash3 (seed 0) of\n"
    "each name's UTF-8 bytes: column |h| mod n_features, and the value negated where\n"
    "h < 0 when alternate_sign is true. A string value v of feature f is the feature\n"
    "'f=v' with value 1; zero values add nothing; duplicates are summed. Indices,\n"
    "signs and sums are those of scikit-learn's FeatureHasher with the same settings.\n"
    "input_type: 'dict' (a mapping name -> value), 'pair' (an iterable of (name,\n"
    "value)) or 'string' (an iterable of names, each with value 1).";

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(new_hasher)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(richcompare)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {0, nullptr},
};

PyType_Spec spec = {"drel_ml_ext._native.FeatureHasher", sizeof(HasherObject), 0,
                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};

}  // namespace

int add_feature_hasher(PyObject* module) {
  PyObject* type = PyType_FromModuleAndSpec(module, &spec, nullptr);
  if (type == nullptr) return -1;
  return PyModule_AddObject(module, "FeatureHasher", type) == 0 ? 0 : (Py_DECREF(type), -1);
}

}  // namespace drel::py
