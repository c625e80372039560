// Numbers as snapshots write them. Integers are plain decimal; reals follow the
// snapshot number rule: shortest round-trip digits, positional notation for
// decimal exponents -5..15, exponential with an explicit exponent sign
// otherwise, a ".0" on integral values, and null for NaN and infinities.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace drel::snapshot {

// Formatted in place so that writing a number never allocates. The longest
// real text is 24 characters ("-1.7976931348623157e+308"), the longest integer
// 20 digits (21 with a sign).
class NumberText {
 public:
  static NumberText real(double x);
  static NumberText unsigned_integer(std::uint64_t n);
  static NumberText signed_integer(std::int64_t n);

  std::string_view view() const { return {chars_, size_}; }

 private:
  template <class Int>
  static NumberText integer(Int n);

  char chars_[32];
  std::size_t size_ = 0;
};

}  // namespace drel::snapshot
