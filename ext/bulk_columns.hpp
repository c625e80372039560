// y and xs: one value per row.
//
// Real values (regression targets, statistic samples) are read from a 1-D
// buffer of any real dtype (in place when it is contiguous float64) or
// converted one by one as the one-sample methods convert them. Classifier
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

namespace drel::py {

template <class T>  // double, or std::uint8_t for flags
class ColumnReader final : public BulkSource {
 public:
  explicit ColumnReader(const char* param) : BulkSource(param, "value") {}

  // False with an exception set (not iterable, or a non-ordinary exception).
  bool open(PyObject* o);
  // Values [first, first + count), for the core; valid until the reader goes.
  std::span<const T> values(std::size_t first, std::size_t count) const {
    return (whole_ && !in_place_.empty() ? in_place_ : std::span<const T>(values_))
        .subspan(first, count);
  }

  bool whole() const override { return whole_; }
  std::optional<std::size_t> known_count() const override;
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
  std::vector<T> values_;
  std::optional<std::size_t> rejected_;  // a whole buffer's first integer other than 0 and 1
  ItemSource items_;
  Ref item_;
};

extern template class ColumnReader<double>;
extern template class ColumnReader<std::uint8_t>;

}  // namespace drel::py
