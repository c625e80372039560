#include "bulk_rows.hpp"

#include <algorithm>
#include <new>

#include "bindings/once.hpp"
#include "without_gil.hpp"

namespace drel::py {
namespace {

OnceObject numpy_asarray_cell;
OnceObject array_method_name_cell;

// numpy.asarray(X) for an X that is neither a buffer nor a plain sequence but
// has `__array__`; a borrowed X otherwise, and also when numpy is absent (X is
// then iterated as before). Null with an exception set when the conversion fails.
PyObject* as_table_array(PyObject* X, Ref& holder) {
  if (PyObject_CheckBuffer(X) || PyList_CheckExact(X) || PyTuple_CheckExact(X)) return X;
  PyObject* name = array_method_name_cell.get([] { return PyUnicode_InternFromString("__array__"); });
  if (name == nullptr) return nullptr;
  if (Ref method = Ref::steal(PyObject_GetAttr(X, name)); !method) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
    PyErr_Clear();
    return X;
  }
  PyObject* asarray = numpy_asarray_cell.get([] {
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    return numpy ? PyObject_GetAttrString(numpy.get(), "asarray") : nullptr;
  });
  if (asarray == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) return nullptr;
    PyErr_Clear();
    return X;
  }
  holder = Ref::steal(PyObject_CallOneArg(asarray, X));
  return holder.get();
}

// What a refused row should have been, for the mistakes that have a better
// way: text (categories, names) and mappings of named features are hashed into
// numbers first; a bare number means X was one row (an ndarray row is a number
// to Python as well, and a sequence).
constexpr const char* kTextInRow =
    "X holds text: features are real numbers; hash categorical values first "
    "(drel_ml_ext.FeatureHasher, or drel_ml_ext.sklearn.ColumnHasher for a DataFrame's columns)";
constexpr const char* kMappingRow =
    "X holds mappings: hash named features into rows of numbers first "
    "(drel_ml_ext.FeatureHasher(n_features).transform_many(rows)), or learn from dicts one at a "
    "time with drel_ml_ext.river's adapters";

const char* refused_row_hint(PyObject* row, RaisedBy raised_by) {
  if (raised_by == RaisedBy::Text) return kTextInRow;
  if (PyDict_Check(row)) return kMappingRow;
  if (PyNumber_Check(row) && !PySequence_Check(row)) return kRowsShape;
  return nullptr;
}

}  // namespace

bool RowReader::open(PyObject* X, bool defer_sparse_check) {
  switch (sparse_.open(X, defer_sparse_check)) {
    case SparseMatrix::Opened::Ok: return open_sparse();
    case SparseMatrix::Opened::Failed: return false;
    case SparseMatrix::Opened::NotSparse: break;
  }
  X = as_table_array(X, as_array_);
  if (X == nullptr) return false;
  if (!buffer_.acquire(X)) return false;
  if (open_buffer()) return true;
  if (buffer_.refuse(X, param, 2, kRowsShape)) return false;
  buffer_.release();  // not a 2-D buffer of real numbers: iterated instead
  return items_.open(X);
}

bool RowReader::open_sparse() {
  sparse_open_ = true;
  whole_ = true;
  const std::size_t cols = sparse_.cols();
  whole_rows_ = Rows{nullptr, sparse_.count(), cols, cols, nullptr};
  return true;
}

bool RowReader::reserve_dense() {
  if (!sparse_open_) return true;
  try {
    block_.resize(std::min(sparse_.count(), block_rows()) * whole_rows_.cols);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  return true;
}

bool RowReader::open_buffer() {
  const std::optional<ElementFormat> format = buffer_.real_format(2);
  if (!format) return false;
  const Py_buffer& v = buffer_.view();
  const auto count = static_cast<std::size_t>(v.shape[0]);
  const auto cols = static_cast<std::size_t>(v.shape[1]);
  whole_ = true;
  const Py_ssize_t row_step = v.strides[0], col_step = v.strides[1];
  const bool rows_contiguous = (cols <= 1 || col_step == sizeof(double)) &&
                               (count <= 1 || (row_step >= 0 && row_step % sizeof(double) == 0));
  if (*format == ElementFormat{ElementKind::Float64, false} && rows_contiguous &&
      aligned_for_double(v.buf)) {
    const std::size_t stride = count <= 1 ? cols : static_cast<std::size_t>(row_step) / sizeof(double);
    whole_rows_ = Rows{static_cast<const double*>(v.buf), count, cols, stride, nullptr};
    return true;
  }
  converted_ = *format;
  whole_rows_ = Rows{nullptr, count, cols, cols, nullptr};
  block_.resize(std::min(count, block_rows()) * cols);
  return true;
}

std::size_t RowReader::block_rows() const {
  if (converted_ || sparse_open_)
    return std::max<std::size_t>(1, kBlockValues / std::max<std::size_t>(whole_rows_.cols, 1));
  if (whole_) return signal_block_rows(whole_rows_.cols);
  // Iterated rows, ragged ones included, by their mean width.
  const std::size_t count = offsets_.size() - 1;
  return signal_block_rows(count == 0 ? 0 : values_.size() / count);
}

Rows RowReader::rows(std::size_t first, std::size_t count) {
  if (sparse_open_) {
    sparse_.dense(first, count, block_.data());
    return Rows{block_.data(), count, whole_rows_.cols, whole_rows_.cols, nullptr};
  }
  if (converted_) {
    read_rows(buffer_.view(), *converted_, static_cast<Py_ssize_t>(first),
              static_cast<Py_ssize_t>(count), block_.data());
    return Rows{block_.data(), count, whole_rows_.cols, whole_rows_.cols, nullptr};
  }
  if (whole_) {
    Rows rows = whole_rows_;
    rows.data += first * rows.row_stride;
    rows.count = count;
    return rows;
  }
  // Iterated rows: a ragged row's offsets are positions in values_.
  if (ragged_) return Rows{values_.data(), count, cols_, cols_, offsets_.data() + first};
  return Rows{values_.data() + first * cols_, count, cols_, cols_, nullptr};
}

std::optional<std::size_t> RowReader::known_count() const {
  return whole_ ? std::optional(whole_rows_.count) : items_.known_length();
}

Fetched RowReader::fetch(std::size_t row) {
  if (whole_) return row < whole_rows_.count ? Fetched::Item : Fetched::End;
  return items_.next(item_);
}

Converted RowReader::convert(std::size_t row) {
  if (whole_) return Converted::Ok;
  features_.resize_for_overwrite(0);
  RaisedBy raised_by;
  const bool ok = to_features(item_.get(), features_, raised_by);
  if (!ok && raised_by != RaisedBy::Value) failure_hint = refused_row_hint(item_.get(), raised_by);
  item_ = Ref();
  if (!ok) return raised_by == RaisedBy::Value ? Converted::Failed : Converted::Refused;
  if (!signals_.spend(features_.size() + 1)) return Converted::Failed;
  values_.insert(values_.end(), features_.begin(), features_.end());
  offsets_.push_back(values_.size());
  if (row == 0) {
    cols_ = features_.size();
  } else if (features_.size() != cols_) {
    ragged_ = true;
  }
  return Converted::Ok;
}

}  // namespace drel::py
