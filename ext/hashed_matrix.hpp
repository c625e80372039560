// The rows a FeatureHasher made, as Python results: scipy's CSR matrix (numpy
// arrays made through numpy's own Python API over the rows' own vectors), or
// dense rows.
#pragma once

#include <cstdint>
#include <span>

#include "bindings/python.hpp"
#include "features/feature_hasher.hpp"

namespace drel::py {

// Writes the rows into `dense`, zeroed first, n_features values per row.
void scatter(const features::HashedRows& rows, std::uint32_t n_features, std::span<double> dense);

// The rows as a scipy.sparse.csr_matrix, int32 indices while they fit (as
// scikit-learn's hasher makes them); without scipy, dense rows. Null with an
// exception set on failure. The matrix takes the rows' vectors over.
PyObject* many_result(features::HashedRows& rows, std::uint32_t n_features);

}  // namespace drel::py
