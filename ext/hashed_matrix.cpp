#include "hashed_matrix.hpp"

#include <algorithm>
#include <limits>
#include <new>
#include <utility>
#include <variant>
#include <vector>

#include "bindings/once.hpp"
#include "bulk_result.hpp"

namespace drel::py {
namespace {

using features::HashedCsr;

OnceObject csr_matrix_cell;
OnceObject frombuffer_cell;
OnceObject lent_vector_type_cell;

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

// A native vector lent to numpy as an array's memory: numpy.frombuffer keeps
// this object as the array's base, so the hashed entries are never copied.
using features::Entries;
using LentStorage = std::variant<Entries<std::int32_t>, Entries<double>, std::vector<std::int32_t>,
                                 std::vector<std::int64_t>>;

struct LentVector {
  PyObject_HEAD
  alignas(LentStorage) unsigned char storage[sizeof(LentStorage)];
  LentStorage& vector() { return *std::launder(reinterpret_cast<LentStorage*>(storage)); }
};

int lent_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  static char empty;  // a zero-length buffer still points somewhere
  auto [data, bytes] = std::visit(
      [](auto& v) {
        return std::pair{static_cast<void*>(v.data()),
                         static_cast<Py_ssize_t>(v.size() * sizeof(v[0]))};
      },
      reinterpret_cast<LentVector*>(self)->vector());
  return PyBuffer_FillInfo(view, self, bytes == 0 ? &empty : data, bytes, 0, flags);
}

void lent_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<LentVector*>(self)->vector().~LentStorage();
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot lent_slots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(lent_getbuffer)},
    {Py_tp_dealloc, reinterpret_cast<void*>(lent_dealloc)},
    {0, nullptr},
};

PyType_Spec lent_spec = {"drel_ml_ext._native._LentVector", sizeof(LentVector), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, lent_slots};

// A numpy array of `dtype` over `values`, which it takes over.
template <class Values>
PyObject* numpy_array(Values&& values, const char* dtype) {
  PyObject* frombuffer = numpy_frombuffer();
  auto* type = reinterpret_cast<PyTypeObject*>(
      lent_vector_type_cell.get([] { return PyType_FromSpec(&lent_spec); }));
  if (frombuffer == nullptr || type == nullptr) return nullptr;
  Ref owner = Ref::steal(type->tp_alloc(type, 0));
  if (!owner) return nullptr;
  auto* lent = reinterpret_cast<LentVector*>(owner.get());
  new (lent->storage) LentStorage(std::forward<Values>(values));
  return PyObject_CallFunction(frombuffer, "Os", owner.get(), dtype);
}

template <class Index>
std::vector<Index> converted(const std::vector<std::size_t>& pointers) {
  return std::vector<Index>(pointers.begin(), pointers.end());
}

PyObject* csr_from(PyObject* csr, HashedCsr&& rows, std::uint32_t n_features) {
  const auto n_rows = static_cast<Py_ssize_t>(rows.indptr.size() - 1);
  Ref data = Ref::steal(numpy_array(std::move(rows.values), "float64"));
  Ref index, pointers;
  // int32 indices while every entry's position fits, as scikit-learn's matrices have.
  if (rows.indptr.back() <= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    index = data ? Ref::steal(numpy_array(std::move(rows.indices), "int32")) : Ref();
    pointers = index ? Ref::steal(numpy_array(converted<std::int32_t>(rows.indptr), "int32"))
                     : Ref();
  } else {
    index = data ? Ref::steal(numpy_array(
                       std::vector<std::int64_t>(rows.indices.begin(), rows.indices.end()),
                       "int64"))
                 : Ref();
    pointers = index ? Ref::steal(numpy_array(converted<std::int64_t>(rows.indptr), "int64"))
                     : Ref();
  }
  if (!pointers) return nullptr;
  return PyObject_CallFunction(csr, "(OOO)(nI)", data.get(), index.get(), pointers.get(), n_rows,
                               n_features);
}

}  // namespace

// Writes the rows into `dense`, zeroed first, n_features values per row.
void scatter(const features::HashedRows& rows, std::uint32_t n_features, std::span<double> dense) {
  std::fill(dense.begin(), dense.end(), 0.0);
  const auto indptr = rows.indptr();
  for (std::size_t r = 0; r < rows.rows(); ++r)
    for (std::size_t k = indptr[r]; k < indptr[r + 1]; ++k)
      dense[r * n_features + static_cast<std::size_t>(rows.indices()[k])] = rows.values()[k];
}

PyObject* many_result(features::HashedRows& rows, std::uint32_t n_features) {
  if (PyObject* csr = csr_matrix_class()) return csr_from(csr, rows.take(), n_features);
  if (PyErr_Occurred()) return nullptr;
  BulkResult result;
  if (!result.allocate(ResultKind::Real, rows.rows(), std::size_t{n_features})) return nullptr;
  scatter(rows, n_features, result.reals());
  return result.release();
}

}  // namespace drel::py
