#include "snapshot/json_number.hpp"

#include <charconv>
#include <cmath>
#include <cstddef>
#include <limits>
#include <system_error>

namespace drel::snapshot {
namespace {

// A double's correctly rounded value is decided by its first 768 significant
// digits and whether anything non-zero follows, so longer digit strings are
// cut to this many digits plus one sticky non-zero digit.
constexpr std::size_t kKeptDigits = 780;

// Larger written exponents are all beyond any double, whatever the digits.
constexpr std::int64_t kExponentCap = 1'000'000'000'000'000;

// The integer and fraction digits read as one digit string.
class Digits {
 public:
  Digits(std::string_view integer, std::string_view fraction)
      : integer_(integer), fraction_(fraction) {}
  std::size_t size() const { return integer_.size() + fraction_.size(); }
  char operator[](std::size_t i) const {
    return i < integer_.size() ? integer_[i] : fraction_[i - integer_.size()];
  }

 private:
  std::string_view integer_;
  std::string_view fraction_;
};

std::int64_t written_exponent(const NumberSpans& number) {
  std::int64_t e = 0;
  for (char c : number.exponent_digits) {
    if (e < kExponentCap) e = e * 10 + (c - '0');
  }
  return number.exponent_negative ? -e : e;
}

double signed_zero(bool negative) { return negative ? -0.0 : 0.0; }

}  // namespace

std::optional<double> decimal_to_double(const NumberSpans& number) {
  const Digits digits(number.integer_digits, number.fraction_digits);
  const std::size_t total = digits.size();
  std::size_t first = 0;
  while (first < total && digits[first] == '0') ++first;
  if (first == total) return signed_zero(number.negative);
  std::size_t last = total - 1;
  while (digits[last] == '0') --last;

  // value = D * 10^exponent, D being the n significant digits as an integer.
  const auto n = static_cast<std::int64_t>(last - first + 1);
  std::int64_t exponent = written_exponent(number) -
                          static_cast<std::int64_t>(number.fraction_digits.size()) +
                          static_cast<std::int64_t>(total - 1 - last);
  const std::int64_t leading_power = exponent + n - 1;  // value in [10^p, 10^(p+1))
  if (leading_power > std::numeric_limits<double>::max_exponent10) return std::nullopt;
  // Below 10^-324 lies under half the smallest subnormal (about 4.9e-324).
  if (leading_power < -324) return signed_zero(number.negative);

  char text[kKeptDigits + 32];
  std::size_t size = 0;
  const auto kept = static_cast<std::size_t>(n) < kKeptDigits ? static_cast<std::size_t>(n)
                                                              : kKeptDigits;
  for (std::size_t i = 0; i < kept; ++i) text[size++] = digits[first + i];
  if (static_cast<std::size_t>(n) > kKeptDigits) {
    // The last significant digit is non-zero, so something non-zero was cut.
    text[size++] = '1';
    exponent += n - static_cast<std::int64_t>(kKeptDigits) - 1;
  }
  text[size++] = 'e';
  size = static_cast<std::size_t>(
      std::to_chars(text + size, text + sizeof text, exponent).ptr - text);

  double value = 0.0;
  const auto result = std::from_chars(text, text + size, value, std::chars_format::scientific);
  // from_chars reports overflow and underflow alike; the leading power tells
  // which of the two it was.
  if (result.ec == std::errc::result_out_of_range || std::isinf(value)) {
    if (leading_power > 0) return std::nullopt;
    return signed_zero(number.negative);
  }
  return number.negative ? -value : value;
}

std::optional<JsonNumber> number_value(const NumberSpans& number) {
  if (!number.has_fraction && !number.has_exponent) {
    std::uint64_t magnitude = 0;
    const std::string_view d = number.integer_digits;
    const auto parsed = std::from_chars(d.data(), d.data() + d.size(), magnitude);
    if (parsed.ec == std::errc{}) {
      constexpr std::uint64_t kMinMagnitude = std::uint64_t{1} << 63;
      if (!number.negative) return JsonNumber{magnitude};
      if (magnitude != 0 && magnitude <= kMinMagnitude) {
        // Two's complement: -2^63 has no positive counterpart.
        return JsonNumber{static_cast<std::int64_t>(~magnitude + 1)};
      }
    }
  }
  const std::optional<double> real = decimal_to_double(number);
  if (!real) return std::nullopt;
  return JsonNumber{*real};
}

}  // namespace drel::snapshot
