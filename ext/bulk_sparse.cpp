#include "bulk_sparse.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <type_traits>
#include <utility>

#include "common/lanes.hpp"
#include "without_gil.hpp"

namespace drel::py {
namespace {

enum class Layout { None, Csr, Csc, Coo, Lil, Other };

// The layout of X by its real type, when scipy.sparse is imported; X cannot
// be one of its matrices otherwise. False with an exception set on failure.
bool layout_of(PyObject* X, Layout& layout) {
  layout = Layout::None;
  Ref module = Ref::steal(PyImport_GetModule(Ref::steal(PyUnicode_FromString("scipy.sparse")).get()));
  if (!module) return !PyErr_Occurred();
  static constexpr std::pair<const char*, Layout> kClasses[] = {
      {"csr_matrix", Layout::Csr}, {"csr_array", Layout::Csr}, {"csc_matrix", Layout::Csc},
      {"csc_array", Layout::Csc},  {"coo_matrix", Layout::Coo}, {"coo_array", Layout::Coo},
      {"lil_matrix", Layout::Lil}, {"lil_array", Layout::Lil},
      {"spmatrix", Layout::Other}, {"sparray", Layout::Other},
  };
  for (const auto& [name, candidate] : kClasses) {
    Ref type = Ref::steal(PyObject_GetAttrString(module.get(), name));
    if (!type) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
      PyErr_Clear();
      continue;
    }
    if (PyType_Check(type.get()) &&
        PyType_IsSubtype(Py_TYPE(X), reinterpret_cast<PyTypeObject*>(type.get()))) {
      layout = candidate;
      return true;
    }
  }
  return true;
}

constexpr const char* kLayoutNames[] = {"", "CSR", "CSC", "COO", "", ""};

bool is_integer(ElementKind kind) {
  return kind != ElementKind::Float64 && kind != ElementKind::Float32 &&
         kind != ElementKind::Float16 && kind != ElementKind::Bool;
}

// Holds X.<attribute>, a 1-D buffer of integers (`integers`) or of real
// numbers. False with TypeError set otherwise.
bool hold(PyObject* X, const char* attribute, bool integers, HeldBuffer& buffer,
          ElementFormat& format) {
  Ref array = Ref::steal(PyObject_GetAttrString(X, attribute));
  if (!array || !buffer.acquire(array.get())) return false;
  const std::optional<ElementFormat> f = buffer.real_format(1);
  if (!f || (integers && !is_integer(f->kind))) {
    PyErr_Format(PyExc_TypeError,
                 "X is a scipy.sparse matrix whose %s is not a one-dimensional array of %s",
                 attribute, integers ? "integers" : "real numbers");
    return false;
  }
  format = *f;
  return true;
}

std::size_t length(const HeldBuffer& b) { return static_cast<std::size_t>(b.view().shape[0]); }

// Elements [first, first + count) of an integer buffer as positions below
// `limit`; one that is negative or not below it is written as `limit`.
// Returns how many were.
template <class Int>
std::size_t copy_positions(const Int* from, std::size_t count, std::size_t limit,
                           std::size_t* out) {
  std::size_t outside = 0;
  for (std::size_t k = 0; k < count; ++k) {
    // A negative index turns huge, and so outside too.
    const auto v = static_cast<std::size_t>(static_cast<std::make_signed_t<Int>>(from[k]));
    const bool inside = v < limit;
    outside += inside ? 0 : 1;
    out[k] = inside ? v : limit;
  }
  return outside;
}

std::size_t read_positions(const HeldBuffer& b, ElementFormat format, std::size_t first,
                           std::size_t count, std::size_t limit, std::size_t* out) {
  // scipy's own index arrays: int32 or int64, contiguous, native order,
  // aligned (the element reader takes any other, a byte copy at a time).
  const Py_buffer& v = b.view();
  const char* const at = element_at(v, static_cast<Py_ssize_t>(first));
  const auto typed = [&](std::size_t size) {
    return (count <= 1 || v.strides[0] == static_cast<Py_ssize_t>(size)) &&
           reinterpret_cast<std::uintptr_t>(at) % size == 0;
  };
  if (format == ElementFormat{ElementKind::Int32, false} && typed(sizeof(std::int32_t)))
    return copy_positions(reinterpret_cast<const std::int32_t*>(at), count, limit, out);
  if (format == ElementFormat{ElementKind::Int64, false} && typed(sizeof(std::int64_t)))
    return copy_positions(reinterpret_cast<const std::int64_t*>(at), count, limit, out);
  const double bound = static_cast<double>(limit);
  return with_element_reader(format, [&]<class Reader>(Reader) {
    std::size_t outside = 0;
    for (std::size_t k = 0; k < count; ++k) {
      const double v = Reader::read(element_at(b.view(), static_cast<Py_ssize_t>(first + k)));
      const bool inside = v >= 0.0 && v < bound;
      outside += inside ? 0 : 1;
      out[k] = inside ? static_cast<std::size_t>(v) : limit;
    }
    return outside;
  });
}

// Whether elements [0, count) are all positions below `limit`, read a chunk
// at a time.
bool all_below(const HeldBuffer& b, ElementFormat format, std::size_t count, std::size_t limit) {
  std::vector<std::size_t> chunk(std::min<std::size_t>(count, std::size_t{1} << 14));
  for (std::size_t first = 0; first < count; first += chunk.size()) {
    const std::size_t n = std::min(chunk.size(), count - first);
    if (read_positions(b, format, first, n, limit, chunk.data()) != 0) return false;
  }
  return true;
}

constexpr const char* kColumnOutside =
    "a column index is negative or not below the number of columns";

bool invalid(const char* layout, const char* what) {
  PyErr_Format(PyExc_ValueError, "X is not a valid %s matrix: %s", layout, what);
  return false;
}

// Puts entries [from, to) of (indices, values) in index order, summing the
// values of equal indices in the order they are stored, from +0 (as toarray()
// does), and writes the result from `at` on (at <= from). An index not below
// `limit` (one written since the matrix was checked) is left out. Returns
// where the row ends.
std::size_t canonical_row(std::size_t* indices, double* values, std::size_t from, std::size_t to,
                          std::size_t at, std::size_t limit,
                          std::vector<std::pair<std::size_t, double>>& scratch) {
  scratch.clear();
  for (std::size_t k = from; k < to; ++k)
    if (indices[k] < limit) scratch.emplace_back(indices[k], values[k]);
  std::stable_sort(scratch.begin(), scratch.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (std::size_t k = 0; k < scratch.size();) {
    const std::size_t j = scratch[k].first;
    double sum = 0.0;
    for (; k < scratch.size() && scratch[k].first == j; ++k) sum += scratch[k].second;
    indices[at] = j;
    values[at] = sum;
    ++at;
  }
  return at;
}

// What a look at a stretch of indices [first, end) finds: whether one is
// negative, whether one is at least `limit`, and at how many places one is
// not above the index before it.
struct IndexLook {
  bool negative, above;
  std::size_t falls;
};

// The look in blocks of lanes, built for the baseline and for AVX2 (see
// common/lanes.hpp): it reads every stored index of X.
template <class Index>
struct LookAtIndices {
  template <std::size_t kDoubleLanes>
  [[gnu::always_inline]] static IndexLook run(const Index* __restrict indices, std::size_t first,
                                              std::size_t end, Index limit) {
    constexpr std::size_t kLanes = kDoubleLanes * sizeof(double) / sizeof(Index);
    Index negative[kLanes] = {}, above[kLanes] = {}, falls[kLanes] = {};
    std::size_t k = first;
    for (; k + kLanes <= end; k += kLanes) {
      for (std::size_t l = 0; l < kLanes; ++l) {
        const Index v = indices[k + l];
        negative[l] |= v < 0;
        above[l] |= v >= limit;
        falls[l] += v <= indices[k + l - 1];
      }
    }
    IndexLook found{false, false, 0};
    for (; k < end; ++k) {
      found.negative |= indices[k] < 0;
      found.above |= indices[k] >= limit;
      found.falls += indices[k] <= indices[k - 1];
    }
    for (std::size_t l = 0; l < kLanes; ++l) {
      found.negative |= negative[l] != 0;
      found.above |= above[l] != 0;
      found.falls += static_cast<std::size_t>(falls[l]);
    }
    return found;
  }
};

// For indices that stay where X keeps them (the arrays are native, contiguous
// and aligned): whether every one is below `cols`, and in `canonical` whether
// each row's are strictly increasing. It counts the places where an index is
// not above the one before it, a stretch at a time, and takes away those that
// start a row while the stretch is still in cache.
template <class Index>
bool indices_in_place_below(const Index* indices, const std::vector<std::size_t>& indptr,
                            std::size_t cols, bool& canonical) {
  // Short enough that a lane's count of falls fits in an Index.
  constexpr std::size_t kStretch = std::size_t{1} << 12;
  const std::size_t n = indptr.back();
  // Where cols is beyond the index type, only a negative index is outside.
  const bool bounded = cols <= static_cast<std::size_t>(std::numeric_limits<Index>::max());
  const Index limit = bounded ? static_cast<Index>(cols) : std::numeric_limits<Index>::max();
  // The first index has none before it.
  bool outside = n > 0 && (indices[0] < 0 || (bounded && indices[0] >= limit));
  std::size_t falls = 0, at_starts = 0, row = 1, before = 0;
  for (std::size_t first = 1; first < n; first += kStretch) {
    const std::size_t end = std::min(n, first + kStretch);
    const IndexLook look = Dispatched<LookAtIndices<Index>>::run(indices, first, end, limit);
    outside |= look.negative || (bounded && look.above);
    falls += look.falls;
    for (; row + 1 < indptr.size() && indptr[row] < end; ++row) {
      const std::size_t start = indptr[row];
      if (start == before) continue;  // after an empty row
      before = start;
      at_starts += indices[start] <= indices[start - 1];
    }
  }
  if (outside) return false;
  canonical = falls == at_starts;
  return true;
}

bool strictly_increasing(const std::size_t* indices, std::size_t count) {
  for (std::size_t k = 1; k < count; ++k)
    if (indices[k] <= indices[k - 1]) return false;
  return true;
}

}  // namespace

SparseMatrix::Opened SparseMatrix::open(PyObject* X, bool defer_index_check) {
  Layout layout;
  if (!layout_of(X, layout)) return Opened::Failed;
  if (layout == Layout::None) return Opened::NotSparse;
  stored_as_is_ = layout == Layout::Lil;
  if (layout == Layout::Lil || layout == Layout::Other) {
    // BSR, DIA, LIL, DOK: scipy's own conversion, whose result is held to the
    // same checks as any CSR matrix. A LIL matrix's own toarray() writes each
    // stored value as it is, where the others add it to +0: a stored -0
    // stays -0 there, and so here (see DenseRow).
    Ref name = Ref::steal(PyUnicode_InternFromString("tocsr"));
    if (!name) return Opened::Failed;
    converted_ = Ref::steal(PyObject_CallMethodNoArgs(X, name.get()));
    if (!converted_) return Opened::Failed;
    Layout got;
    if (!layout_of(converted_.get(), got)) return Opened::Failed;
    if (got != Layout::Csr) {
      PyErr_Format(PyExc_TypeError,
                   "X is a %s whose tocsr() gave a %s, not a scipy.sparse CSR matrix: "
                   "pass a CSR, CSC or COO matrix",
                   Py_TYPE(X)->tp_name, Py_TYPE(converted_.get())->tp_name);
      return Opened::Failed;
    }
    X = converted_.get();
    layout = Layout::Csr;
  }
  const bool ok = layout == Layout::Coo
                      ? open_coordinates(X)
                      : open_compressed(X, layout == Layout::Csr, defer_index_check);
  return ok ? Opened::Ok : Opened::Failed;
}

bool SparseMatrix::read_shape(PyObject* X) {
  Ref shape = Ref::steal(PyObject_GetAttrString(X, "shape"));
  if (!shape) return false;
  if (!PyTuple_Check(shape.get()) || PyTuple_GET_SIZE(shape.get()) != 2) {
    PyErr_SetString(PyExc_TypeError,
                    "X must be two-dimensional (rows of features); got a scipy.sparse array "
                    "whose shape is not a pair");
    return false;
  }
  std::size_t dims[2];
  for (int d = 0; d < 2; ++d) {
    PyObject* item = PyTuple_GET_ITEM(shape.get(), d);
    const Py_ssize_t v = PyLong_Check(item) ? PyLong_AsSsize_t(item) : -1;
    if (v < 0) {
      if (!PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_OverflowError)) {
        PyErr_Clear();
        PyErr_SetString(PyExc_ValueError,
                        "X is a scipy.sparse matrix whose shape is not two non-negative integers");
      }
      return false;
    }
    dims[d] = static_cast<std::size_t>(v);
  }
  rows_ = dims[0];
  cols_ = dims[1];
  return true;
}

bool SparseMatrix::open_compressed(PyObject* X, bool by_row, bool defer_index_check) {
  const char* name = by_row ? "CSR" : "CSC";
  if (!read_shape(X) || !hold(X, "indptr", true, indptr_, indptr_format_) ||
      !hold(X, "indices", true, indices_, index_format_) ||
      !hold(X, "data", false, data_, data_format_))
    return false;
  const std::size_t major = by_row ? rows_ : cols_, minor = by_row ? cols_ : rows_;
  if (length(indptr_) != major + 1) return invalid(name, "indptr does not hold one more entry than X has rows (or columns, for CSC)");
  if (length(indices_) != length(data_)) return invalid(name, "indices and data differ in length");
  std::vector<std::size_t> indptr(major + 1);
  if (read_positions(indptr_, indptr_format_, 0, major + 1, length(indices_) + 1, indptr.data()) != 0)
    return invalid(name, "an entry of indptr is negative or beyond the length of indices");
  if (indptr[0] != 0) return invalid(name, "indptr does not start at 0");
  for (std::size_t i = 0; i < major; ++i)
    if (indptr[i + 1] < indptr[i]) return invalid(name, "indptr decreases");
  stored_ = indptr[major];
  const char* outside = by_row ? kColumnOutside : "a row index is negative or not below the number of rows";
  if (by_row) {
    const Py_buffer& v = data_.view();
    in_place_values_ = data_format_ == ElementFormat{ElementKind::Float64, false} &&
                       (stored_ <= 1 || v.strides[0] == sizeof(double)) && aligned_for_double(v.buf);
    switch (check_in_place(indptr, defer_index_check)) {
      case InPlace::Valid: return true;
      case InPlace::OutOfBounds: return invalid(name, outside);
      case InPlace::NotChecked: break;
    }
  }
  // Every index read once here, so that the error is raised before any row
  // runs; a block reads them again (and checks again) as it copies them.
  if (!all_below(indices_, index_format_, stored_, minor)) return invalid(name, outside);
  if (by_row) return true;
  // CSC: one row per entry, then the rows in row order.
  std::vector<std::size_t> indices(stored_);
  (void)read_positions(indices_, index_format_, 0, stored_, minor, indices.data());
  std::vector<std::size_t> row_of(stored_), col_of(stored_);
  for (std::size_t j = 0; j < major; ++j)
    for (std::size_t k = indptr[j]; k < indptr[j + 1]; ++k) {
      row_of[k] = indices[k];
      col_of[k] = j;
    }
  std::vector<double> values(stored_);
  read_values(data_.view(), data_format_, 0, static_cast<Py_ssize_t>(stored_), values.data());
  own_by_row(row_of, col_of, values);
  return true;
}

SparseMatrix::InPlace SparseMatrix::check_in_place(std::vector<std::size_t>& indptr, bool defer) {
  if (!in_place_values_ || cols_ == 0 || index_format_ != indptr_format_) return InPlace::NotChecked;
  auto check = [&]<class Index>(Shared kind) {
    for (const HeldBuffer* b : {&indptr_, &indices_}) {
      const Py_buffer& v = b->view();
      if ((length(*b) > 1 && v.strides[0] != sizeof(Index)) ||
          reinterpret_cast<std::uintptr_t>(v.buf) % alignof(Index) != 0)
        return InPlace::NotChecked;
    }
    shared_ = kind;
    if (defer) {
      verify_pending_ = true;
      pending_indptr_ = std::move(indptr);
      return InPlace::Valid;
    }
    bool canonical = false;
    if (!indices_in_place_below(static_cast<const Index*>(indices_.view().buf), indptr, cols_,
                                canonical))
      return InPlace::OutOfBounds;
    if (!canonical) shared_ = Shared::No;
    return InPlace::Valid;
  };
  if (index_format_ == ElementFormat{ElementKind::Int32, false})
    return check.template operator()<std::int32_t>(Shared::Int32);
  if (index_format_ == ElementFormat{ElementKind::Int64, false})
    return check.template operator()<std::int64_t>(Shared::Int64);
  return InPlace::NotChecked;
}

bool SparseMatrix::verify_now() {
  if (!verify_pending_) return !found_invalid_;
  verify_pending_ = false;
  bool canonical = false;
  const void* indices = indices_.view().buf;
  found_invalid_ =
      shared_ == Shared::Int32
          ? !indices_in_place_below(static_cast<const std::int32_t*>(indices), pending_indptr_,
                                    cols_, canonical)
          : !indices_in_place_below(static_cast<const std::int64_t*>(indices), pending_indptr_,
                                    cols_, canonical);
  pending_indptr_ = {};
  if (!canonical) shared_ = Shared::No;
  return !found_invalid_;
}

bool SparseMatrix::raise_if_invalid() {
  if (verify_now()) return false;
  PyErr_Clear();
  return !invalid("CSR", kColumnOutside);
}

bool SparseMatrix::open_coordinates(PyObject* X) {
  HeldBuffer rows, cols;
  ElementFormat row_format, col_format;
  if (!read_shape(X) || !hold(X, "row", true, rows, row_format) ||
      !hold(X, "col", true, cols, col_format) || !hold(X, "data", false, data_, data_format_))
    return false;
  stored_ = length(data_);
  if (length(rows) != stored_ || length(cols) != stored_)
    return invalid("COO", "row, col and data differ in length");
  std::vector<std::size_t> row_of(stored_), col_of(stored_);
  if (read_positions(rows, row_format, 0, stored_, rows_, row_of.data()) != 0)
    return invalid("COO", "a row index is negative or not below the number of rows");
  if (read_positions(cols, col_format, 0, stored_, cols_, col_of.data()) != 0)
    return invalid("COO", "a column index is negative or not below the number of columns");
  std::vector<double> values(stored_);
  read_values(data_.view(), data_format_, 0, static_cast<Py_ssize_t>(stored_), values.data());
  own_by_row(row_of, col_of, values);
  return true;
}

// The entries in row order, a stable counting sort keeping each row's entries
// in storage order, then each row in canonical form.
void SparseMatrix::own_by_row(const std::vector<std::size_t>& row_of,
                              const std::vector<std::size_t>& col_of,
                              const std::vector<double>& values) {
  own_offsets_.assign(rows_ + 1, 0);
  for (std::size_t k = 0; k < stored_; ++k) ++own_offsets_[row_of[k] + 1];
  for (std::size_t i = 0; i < rows_; ++i) own_offsets_[i + 1] += own_offsets_[i];
  std::vector<std::size_t> next(own_offsets_.begin(), own_offsets_.end() - 1);
  own_indices_.resize(stored_);
  own_values_.resize(stored_);
  for (std::size_t k = 0; k < stored_; ++k) {
    const std::size_t at = next[row_of[k]]++;
    own_indices_[at] = col_of[k];
    own_values_[at] = values[k];
  }
  canonicalize_owned();
}

void SparseMatrix::canonicalize_owned() {
  owned_ = true;
  std::vector<std::pair<std::size_t, double>> scratch;
  std::size_t at = 0;
  for (std::size_t i = 0; i < rows_; ++i) {
    const std::size_t from = own_offsets_[i], to = own_offsets_[i + 1];
    own_offsets_[i] = at;
    at = canonical_row(own_indices_.data(), own_values_.data(), from, to, at, cols_, scratch);
  }
  own_offsets_[rows_] = at;
  stored_ = at;
  indptr_.release();
  indices_.release();
  data_.release();
}

std::size_t SparseMatrix::block_rows(bool by_stored_values) const {
  if (!by_stored_values) return 4 * signal_block_rows(cols_);
  const std::size_t per_row = std::max<std::size_t>(1, stored_ / std::max<std::size_t>(rows_, 1));
  const std::size_t values = std::max(kSignalBlockValues, 8 * cols_);
  return std::max<std::size_t>(1, values / per_row);
}

SparseRows SparseMatrix::rows(std::size_t first, std::size_t count) {
  if (owned_)
    return SparseRows{own_offsets_.data() + first, own_indices_.data(), own_values_.data(), count,
                      cols_, stored_as_is_};
  // The arrays were checked when X was opened, but another thread may have
  // written to them since: what is read here is checked again, so that no row
  // reaches outside them, and a row that is not in strictly increasing order
  // of its indices is put in it.
  block_offsets_.resize(count + 1);
  std::size_t* const offsets = block_offsets_.data();
  (void)read_positions(indptr_, indptr_format_, first, count + 1, stored_ + 1, offsets);
  const std::size_t start = std::min(offsets[0], stored_);
  std::size_t end = start;
  for (std::size_t r = 0; r <= count; ++r) {
    end = std::clamp(offsets[r], end, stored_);  // a position beyond stored_ reads as stored_
    offsets[r] = end - start;
  }
  const std::size_t size = end - start;
  block_indices_.resize(size);
  std::size_t* const indices = block_indices_.data();
  (void)read_positions(indices_, index_format_, start, size, cols_, indices);
  bool canonical = true;
  for (std::size_t r = 0; r < count && canonical; ++r) {
    const std::size_t n = offsets[r + 1] - offsets[r];
    canonical = strictly_increasing(indices + offsets[r], n) &&
                (n == 0 || indices[offsets[r + 1] - 1] < cols_);
  }
  if (canonical && in_place_values_)
    return SparseRows{offsets, indices, static_cast<const double*>(data_.view().buf) + start,
                      count, cols_, stored_as_is_};
  block_values_.resize(size);
  double* const values = block_values_.data();
  read_values(data_.view(), data_format_, static_cast<Py_ssize_t>(start),
              static_cast<Py_ssize_t>(size), values);
  if (!canonical) {
    std::size_t at = 0;
    for (std::size_t r = 0; r < count; ++r) {
      const std::size_t from = offsets[r], to = offsets[r + 1];
      offsets[r] = at;
      at = canonical_row(indices, values, from, to, at, cols_, row_scratch_);
    }
    offsets[count] = at;
  }
  return SparseRows{offsets, indices, values, count, cols_, stored_as_is_};
}

void SparseMatrix::dense(std::size_t first, std::size_t count, double* out) {
  const SparseRows block = rows(first, count);
  std::fill_n(out, count * cols_, 0.0);
  for (std::size_t i = 0; i < count; ++i) {
    const SparseRow x = block.row(i);
    double* const row = out + i * cols_;
    for (std::size_t k = 0; k < x.size; ++k)
      row[x.indices[k]] = stored_as_is_ ? x.values[k] : row[x.indices[k]] + x.values[k];
  }
}

}  // namespace drel::py
