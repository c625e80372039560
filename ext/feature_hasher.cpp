#include "feature_hasher.hpp"

#include <algorithm>
#include <cstdint>
#include <new>
#include <string_view>

#include "bindings/convert.hpp"
#include "bindings/guard.hpp"
#include "bulk_result.hpp"
#include "features/feature_hasher.hpp"
#include "hashed_matrix.hpp"
#include "module_type.hpp"
#include "hashed_samples.hpp"

namespace drel::py {
namespace {

using features::FeatureHasher;

struct HasherObject {
  PyObject_HEAD
  alignas(FeatureHasher) unsigned char storage[sizeof(FeatureHasher)];
  InputType input_type;
  HasherSettings settings;  // points into storage
  const FeatureHasher& hasher() const {
    return *std::launder(reinterpret_cast<const FeatureHasher*>(storage));
  }
};

// The class, once added: the hashers other units take are checked against it.
PyTypeObject* hasher_type = nullptr;

HasherObject* as_hasher(PyObject* self) { return reinterpret_cast<HasherObject*>(self); }

// --- methods -----------------------------------------------------------------------

PyObject* transform_one(PyObject* self, PyObject* sample) {
  return guarded([&]() -> PyObject* {
    const HasherObject& hasher = *as_hasher(self);
    SampleReader reader(hasher.hasher(), hasher.input_type);
    if (PyDict_Check(sample))
      reader.rows().reserve(static_cast<std::size_t>(PyDict_GET_SIZE(sample)));
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
    // One sample where many belong would be iterated into its names or letters.
    if (PyDict_Check(samples) || PyUnicode_Check(samples) || PyBytes_Check(samples)) {
      PyErr_Format(PyExc_TypeError,
                   "FeatureHasher.transform_many() takes an iterable of samples, not one '%s': "
                   "pass [x], or call transform_one(x)",
                   Py_TYPE(samples)->tp_name);
      return nullptr;
    }
    SampleReader reader(hasher.hasher(), hasher.input_type);
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
    as_hasher(self)->settings = {&as_hasher(self)->hasher(), *chosen};
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

const HasherSettings* hasher_settings(PyObject* o) {
  if (hasher_type != nullptr && Py_IS_TYPE(o, hasher_type)) return &as_hasher(o)->settings;
  PyErr_Format(PyExc_TypeError, "expected a drel_ml_ext.FeatureHasher, not '%.200s'",
               Py_TYPE(o)->tp_name);
  return nullptr;
}

int add_feature_hasher(PyObject* module) {
  hasher_type = add_module_type(module, spec, "FeatureHasher");
  return hasher_type != nullptr ? 0 : -1;
}

}  // namespace drel::py