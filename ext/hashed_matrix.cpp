#include "hashed_matrix.hpp"

#include <algorithm>
#include <limits>
#include <vector>

#include "bindings/once.hpp"
#include "bulk_result.hpp"

namespace drel::py {
namespace {

using features::HashedRows;


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

}  // namespace

// Writes the rows into `dense`, zeroed first, n_features values per row.
void scatter(const features::HashedRows& rows, std::uint32_t n_features, std::span<double> dense) {
  std::fill(dense.begin(), dense.end(), 0.0);
  const auto indptr = rows.indptr();
  for (std::size_t r = 0; r < rows.rows(); ++r)
    for (std::size_t k = indptr[r]; k < indptr[r + 1]; ++k)
      dense[r * n_features + static_cast<std::size_t>(rows.indices()[k])] = rows.values()[k];
}

PyObject* many_result(const features::HashedRows& rows, std::uint32_t n_features) {
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

}  // namespace drel::py
