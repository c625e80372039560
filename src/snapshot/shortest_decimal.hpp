// The shortest decimal that reads back to a double: the digits snapshots write
// for every real. Computed directly from the binary value with 128-bit
// arithmetic (no text, no big numbers), so writing a number costs a few
// multiplications instead of a general formatting routine.
#pragma once

#include <cstdint>

namespace drel::snapshot {

// |x| = significand * 10^exponent.
struct ShortestDecimal {
  std::uint64_t significand;  // 1 .. 10^17 - 1, never a multiple of 10
  int exponent;
};

// Among the decimals with the fewest significant digits that round to |x|, the
// one nearest to |x| (an even last digit on a tie): the same digits as the
// standard library's shortest round-trip formatting. x must be finite and
// non-zero.
ShortestDecimal shortest_decimal(double x);

}  // namespace drel::snapshot
