// The value of one JSON number whose text already passed the grammar check.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <variant>

namespace drel::snapshot {

// Where the parts of a number lie in the text; the sign characters are not
// part of the digit spans.
struct NumberSpans {
  bool negative = false;
  std::string_view integer_digits;   // "0" or a digit string without leading zero
  std::string_view fraction_digits;  // empty when there is no point
  bool has_fraction = false;
  bool has_exponent = false;
  bool exponent_negative = false;
  std::string_view exponent_digits;
};

// Without point and exponent a number is an unsigned integer up to 2^64 - 1, or
// a signed one down to -2^63. Everything else, negative zero and longer
// integers included, is a real.
using JsonNumber = std::variant<std::uint64_t, std::int64_t, double>;

// nullopt when the number is non-zero and its magnitude rounds beyond the
// largest finite double.
std::optional<JsonNumber> number_value(const NumberSpans& number);

// The correctly rounded double nearest to the decimal value (ties to even).
// A value below the smallest subnormal rounds to zero with its sign; nullopt
// when it rounds beyond the largest finite double. Linear in the length of the
// digit strings, whatever the written exponent.
std::optional<double> decimal_to_double(const NumberSpans& number);

}  // namespace drel::snapshot
