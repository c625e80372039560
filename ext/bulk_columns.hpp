// y and xs: one value per row.
//
// Real values (regression targets, statistic samples) are read from a 1-D
// buffer of any real dtype (as they are when contiguous float64, otherwise
// converted a block at a time, like X) or, from any other iterable, converted
// one by one as the one-sample methods convert them. Classifier
// targets (flags) are booleans as learn_one takes them (numpy bool_ arrays
// included) and also integers that are exactly 0 or 1; any other integer is a
// ValueError naming the row. A buffer of floats is iterated instead, so that
// its items are refused exactly as learn_one refuses them.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "bulk_buffer.hpp"
#include "bulk_items.hpp"
#include "bulk_source.hpp"
#include "without_gil.hpp"

namespace drel::py {

template <class T>  // double, or std::uint8_t for flags
class ColumnReader final : public BulkSource {
 public:
  explicit ColumnReader(const char* param) : BulkSource(param, "value") {}

  // False with an exception set (not iterable, or a non-ordinary exception).
  bool open(PyObject* o);
  // Values [first, first + count), for the core; valid until the next call or
  // until the reader goes. Converting a block touches no Python object: this
  // runs without the interpreter lock.
  std::span<const T> values(std::size_t first, std::size_t count);

  std::size_t block_rows() const override {
    return converted_ ? kBlockValues : kSignalBlockValues;
  }
  bool whole() const override { return whole_; }
  std::optional<std::size_t> known_count() const override;
  std::optional<std::size_t> current_count() const override {
    return whole_ ? known_count() : items_.current_length();
  }
  std::optional<std::size_t> first_rejected() const override { return rejected_; }
  Fetched fetch(std::size_t row) override;
  Converted convert(std::size_t row) override;

 private:
  bool open_buffer();

  PyObject* object_ = nullptr;  // borrowed for the call
  HeldBuffer buffer_;
  bool whole_ = false;
  std::size_t count_ = 0;
  std::span<const T> in_place_;
  std::optional<ElementFormat> converted_;  // a buffer converted block by block
  std::vector<T> values_;                 // iterated values, or the current block
  std::optional<std::size_t> rejected_;  // a whole buffer's first integer other than 0 and 1
  ItemSource items_;
  Ref item_;
  SignalBudget signals_;
};

extern template class ColumnReader<double>;
extern template class ColumnReader<std::uint8_t>;

}  // namespace drel::py
