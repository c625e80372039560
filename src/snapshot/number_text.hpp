// Numbers as snapshots write them. Integers are plain decimal; reals follow the
// snapshot number rule: shortest round-trip digits, positional notation for
// decimal exponents -5..15, exponential with an explicit exponent sign
// otherwise, a ".0" on integral values, and null for NaN and infinities.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace drel::snapshot {

// The longest real text is "-1.7976931348623157e+308" and "-0.0000" followed by
// 17 digits, 24 characters; the longest integer has 20 digits (21 signed).
inline constexpr std::size_t kMaxRealText = 24;
inline constexpr std::size_t kMaxUnsignedText = 20;

// Write the text at `out` and return its end; `out` must have room for the
// longest text of its kind.
char* write_real(char* out, double x);
char* write_unsigned(char* out, std::uint64_t n);

// One number formatted in place, for messages and tests.
class NumberText {
 public:
  static NumberText real(double x);
  static NumberText unsigned_integer(std::uint64_t n);
  static NumberText signed_integer(std::int64_t n);

  std::string_view view() const { return {chars_, size_}; }

 private:
  char chars_[32];
  std::size_t size_ = 0;
};

}  // namespace drel::snapshot
