#include "bulk_columns.hpp"

#include <algorithm>

#include "bindings/convert.hpp"

namespace drel::py {
namespace {

constexpr const char* kNotAFlag = "classifier target must be True, False, 0 or 1, not %S";
// What a refused class should have been: labels and probabilities are turned
// into classes first, and more than two labels need one model per label.
constexpr const char* kClassesHint =
    "classes are True or False (or the ints 0 and 1): compare labels with the positive one "
    "first (y == label) and threshold probabilities (p >= 0.5); for more than two labels, "
    "drel_ml_ext.sklearn.OnlineLogisticClassifier or drel_ml_ext.river.LogisticClassifier";

Converted failed(RaisedBy raised_by) {
  return raised_by == RaisedBy::Value ? Converted::Failed : Converted::Refused;
}

// A classifier target from Python: a boolean as learn_one takes it, or an
// integer (anything with __index__) that is 0 or 1.
Converted to_flag(PyObject* o, std::uint8_t& out) {
  if (o == Py_True || o == Py_False) [[likely]] {
    out = o == Py_True;
    return Converted::Ok;
  }
  if (PyLong_Check(o) || PyIndex_Check(o)) {
    Ref index = Ref::steal(PyNumber_Index(o));
    if (!index) return Converted::Failed;
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(index.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) return Converted::Failed;
    if (overflow != 0 || (value != 0 && value != 1)) {
      PyErr_Format(PyExc_ValueError, kNotAFlag, o);
      return Converted::Rejected;
    }
    out = static_cast<std::uint8_t>(value);
    return Converted::Ok;
  }
  bool flag = false;
  RaisedBy raised_by;
  if (!to_bool(o, flag, raised_by)) return failed(raised_by);
  out = flag;
  return Converted::Ok;
}

Converted to_value(PyObject* o, double& out) {
  RaisedBy raised_by;
  return to_double(o, out, raised_by) ? Converted::Ok : failed(raised_by);
}

// A row where one value belongs: a sequence other than text.
bool looks_like_a_row(PyObject* o) {
  return PySequence_Check(o) && !PyUnicode_Check(o) && !PyBytes_Check(o) &&
         !PyByteArray_Check(o);
}
Converted to_value(PyObject* o, std::uint8_t& out) { return to_flag(o, out); }

bool is_integer(ElementKind kind) {
  return kind != ElementKind::Float64 && kind != ElementKind::Float32 &&
         kind != ElementKind::Float16 && kind != ElementKind::Bool;
}

}  // namespace

template <class T>
bool ColumnReader<T>::open(PyObject* o) {
  object_ = o;
  if (!buffer_.acquire(o)) return false;
  if (open_buffer()) return true;
  if (buffer_.refuse(o, param, 1, values_shape(param))) return false;
  buffer_.release();
  return items_.open(o);
}

template <class T>
bool ColumnReader<T>::open_buffer() {
  const std::optional<ElementFormat> format = buffer_.real_format(1);
  if (!format) return false;
  const ElementKind kind = format->kind;
  const Py_buffer& v = buffer_.view();
  count_ = static_cast<std::size_t>(v.shape[0]);
  if constexpr (std::is_same_v<T, double>) {
    if (kind == ElementKind::Float64 && !format->swapped &&
        (count_ <= 1 || v.strides[0] == sizeof(double)) && aligned_for_double(v.buf)) {
      in_place_ = {static_cast<const double*>(v.buf), count_};
    } else {
      converted_ = *format;
    }
  } else {
    if (kind == ElementKind::Bool && (count_ <= 1 || v.strides[0] == 1)) {
      in_place_ = {static_cast<const std::uint8_t*>(v.buf), count_};
    } else if (kind == ElementKind::Bool || is_integer(kind)) {
      converted_ = *format;
      if (kind != ElementKind::Bool) {
        with_element_reader(*format, [&]<class Reader>(Reader) {
          for (std::size_t i = 0; i < count_; ++i) {
            const double value = Reader::read(element_at(v, static_cast<Py_ssize_t>(i)));
            if (value != 0.0 && value != 1.0) {
              rejected_ = i;
              break;
            }
          }
        });
      }
    } else {
      return false;  // floats: iterated, so that each is refused as learn_one refuses it
    }
  }
  whole_ = true;
  if (converted_) values_.resize(std::min(count_, kBlockValues));
  return true;
}

template <class T>
std::span<const T> ColumnReader<T>::values(std::size_t first, std::size_t count) {
  if (!whole_) return std::span<const T>(values_).subspan(first, count);
  if (!converted_) return in_place_.subspan(first, count);
  const Py_buffer& v = buffer_.view();
  const auto from = static_cast<Py_ssize_t>(first), n = static_cast<Py_ssize_t>(count);
  if constexpr (std::is_same_v<T, double>) {
    read_values(v, *converted_, from, n, values_.data());
  } else {
    // Booleans read as 0.0 or 1.0; of the integers, only 0 and 1 reach here
    // (the first other one stopped the call's rows before it).
    with_element_reader(*converted_, [&]<class Reader>(Reader) {
      for (Py_ssize_t i = 0; i < n; ++i)
        values_[static_cast<std::size_t>(i)] = Reader::read(element_at(v, from + i)) == 1.0;
    });
  }
  return std::span<const T>(values_).first(count);
}

template <class T>
std::optional<std::size_t> ColumnReader<T>::known_count() const {
  return whole_ ? std::optional(count_) : items_.known_length();
}

template <class T>
Fetched ColumnReader<T>::fetch(std::size_t row) {
  if (whole_) return row < count_ ? Fetched::Item : Fetched::End;
  return items_.next(item_);
}

template <class T>
Converted ColumnReader<T>::convert(std::size_t row) {
  if (whole_) {
    if (row != rejected_) return Converted::Ok;
    // Rare: the offending item is fetched again, to show it as Python does.
    Ref item = Ref::steal(PySequence_GetItem(object_, static_cast<Py_ssize_t>(row)));
    if (item) {
      PyErr_Format(PyExc_ValueError, kNotAFlag, item.get());
    } else {
      PyErr_Clear();
      PyErr_SetString(PyExc_ValueError, "classifier target must be True, False, 0 or 1");
    }
    return Converted::Rejected;
  }
  T value{};
  const Converted done = to_value(item_.get(), value);
  if (done == Converted::Refused) {
    if (looks_like_a_row(item_.get())) {
      failure_hint = values_shape(param);
    } else if constexpr (std::is_same_v<T, std::uint8_t>) {
      failure_hint = kClassesHint;
    }
  }
  item_ = Ref();
  if (done != Converted::Ok) return done;
  if (!signals_.spend(1)) return Converted::Failed;
  values_.push_back(value);
  return done;
}

template class ColumnReader<double>;
template class ColumnReader<std::uint8_t>;

}  // namespace drel::py
