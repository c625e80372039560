// The items of a Python input that is not read as a buffer, one at a time, as
// `for item in o` would see them.
#pragma once

#include <cstddef>
#include <optional>

#include "bulk_source.hpp"
#include "bindings/python.hpp"

namespace drel::py {

class ItemSource {
 public:
  // Exact lists and tuples are read by index (a list is re-measured at every
  // step, as its iterator does); anything else through iter(). False with an
  // exception set when `o` is not iterable.
  bool open(PyObject* o);
  // Lists and tuples: their length when opened.
  std::optional<std::size_t> known_length() const { return known_length_; }
  // Lists and tuples: their length now (a list may change while it is read).
  std::optional<std::size_t> current_length() const {
    if (!object_) return std::nullopt;
    return static_cast<std::size_t>(Py_SIZE(object_.get()));
  }
  // The next item into `item` (a strong reference).
  Fetched next(Ref& item);

 private:
  Ref object_;    // the list or tuple read by index
  Ref iterator_;  // otherwise
  Py_ssize_t index_ = 0;
  std::optional<std::size_t> known_length_;
};

}  // namespace drel::py
