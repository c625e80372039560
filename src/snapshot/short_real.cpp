// Digits w and exponent q with value w * 10^q, then either one exact
// floating-point operation (w and 10^|q| both exact doubles), or the
// 128-bit product of w with a truncated power of five, which decides the
// rounding of every such w * 10^q except, possibly, when its low bits are all
// ones; that case goes back to the general path.

#include "snapshot/short_real.hpp"

#include <bit>
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <cstdint>

#include "snapshot/five_powers.hpp"

namespace drel::snapshot {
namespace {

constexpr int kMaxDigits = 19;  // any 19 digits fit in 64 bits
// Beyond these the general path decides anyway; the caps keep the int
// arithmetic far from overflow.
constexpr std::ptrdiff_t kMaxFractionDigits = 100'000;
constexpr int kExponentCap = 100'000;
constexpr int kMantissaBits = 52;
constexpr int kMinExponent = -1023;
constexpr int kInfinitePower = 0x7FF;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// In a word of eight characters (the first in the lowest byte), the top bit
// of each byte that is not an ASCII digit. Carries between bytes only reach
// bytes above a flagged one, so the lowest flag is always exact.
std::uint64_t non_digit_flags(std::uint64_t chunk) {
  return ((chunk + 0x4646464646464646) | (chunk - 0x3030303030303030)) & 0x8080808080808080;
}

// The value of eight ASCII digits, the first being the most significant.
std::uint64_t eight_digits_value(std::uint64_t chunk) {
  constexpr std::uint64_t kMask = 0x000000FF000000FF;
  constexpr std::uint64_t kMul1 = 0x000F424000000064;  // 100 + (1000000 << 32)
  constexpr std::uint64_t kMul2 = 0x0000271000000001;  // 1 + (10000 << 32)
  chunk -= 0x3030303030303030;
  chunk = chunk * 10 + (chunk >> 8);  // pairs
  return (((chunk & kMask) * kMul1) + (((chunk >> 16) & kMask) * kMul2)) >> 32;
}

constexpr std::uint64_t kSmallTenPowers[] = {1, 10, 100, 1'000, 10'000, 100'000, 1'000'000,
                                             10'000'000};

// Reads the digits at p into w (w * 10 + digit each; w may wrap when there
// are more than 19, which the caller refuses) and returns their end. Eight
// characters at a time while eight can be read: the last, partial word is
// padded with leading zeros, so the digit count costs no branch.
const char* accumulate_digits(const char* p, const char* end, std::uint64_t& w) {
  if constexpr (std::endian::native == std::endian::little) {
    while (end - p >= 8) {
      std::uint64_t chunk;
      std::memcpy(&chunk, p, 8);
      const std::uint64_t flags = non_digit_flags(chunk);
      if (flags == 0) {
        w = w * 100'000'000 + eight_digits_value(chunk);
        p += 8;
        continue;
      }
      const int count = std::countr_zero(flags) / 8;
      if (count == 0) return p;
      chunk = (chunk << (8 * (8 - count))) | (0x3030303030303030 >> (8 * count));
      w = w * kSmallTenPowers[count] + eight_digits_value(chunk);
      return p + count;
    }
  }
  while (p != end && is_digit(*p)) w = w * 10 + static_cast<std::uint64_t>(*p++ - '0');
  return p;
}

struct Product {
  std::uint64_t high;
  std::uint64_t low;
};

Product multiply(std::uint64_t a, std::uint64_t b) {
  const unsigned __int128 r = static_cast<unsigned __int128>(a) * b;
  return {static_cast<std::uint64_t>(r >> 64), static_cast<std::uint64_t>(r)};
}

// floor(log2(10^q)) + 63.
int binary_power(int q) { return ((217706 * q) >> 16) + 63; }

// The bits of w * 10^q rounded to nearest, w != 0, q within the table; false
// when the product cannot decide or the value is out of the normal and
// subnormal range.
bool product_bits(std::uint64_t w, int q, std::uint64_t& bits) {
  const int lz = std::countl_zero(w);
  w <<= lz;
  const FivePower& f = kFivePowers[static_cast<std::size_t>(q - kFivePowerMinExponent)];
  Product product = multiply(w, f.hi);
  // 55 bits are needed (the mantissa, a rounding bit and a margin); when the
  // bits below them are all ones, the lower half of the power can carry in.
  constexpr std::uint64_t kBelowPrecision = ~std::uint64_t{0} >> (kMantissaBits + 3);
  if ((product.high & kBelowPrecision) == kBelowPrecision) {
    const Product second = multiply(w, f.lo);
    product.low += second.high;
    if (second.high > product.low) ++product.high;
  }
  if (product.low == ~std::uint64_t{0} && (q < -27 || q > 55)) return false;

  const int upper_bit = static_cast<int>(product.high >> 63);
  const int shift = upper_bit + 64 - kMantissaBits - 3;
  std::uint64_t mantissa = product.high >> shift;
  int power2 = binary_power(q) + upper_bit - lz - kMinExponent;
  if (power2 <= 0) {  // subnormal, or below
    if (-power2 + 1 >= 64) return false;
    mantissa >>= -power2 + 1;
    mantissa += mantissa & 1;
    mantissa >>= 1;
    // Rounding up may reach the smallest normal.
    power2 = mantissa < (std::uint64_t{1} << kMantissaBits) ? 0 : 1;
    if (mantissa == 0) return false;
    bits = (mantissa & ((std::uint64_t{1} << kMantissaBits) - 1)) |
           (static_cast<std::uint64_t>(power2) << kMantissaBits);
    return true;
  }
  // Exactly half-way between two doubles happens only where 5^q is exact:
  // then ties go to even instead of up.
  if (product.low <= 1 && q >= -4 && q <= 23 && (mantissa & 3) == 1 &&
      (mantissa << shift) == product.high) {
    mantissa &= ~std::uint64_t{1};
  }
  mantissa += mantissa & 1;
  mantissa >>= 1;
  if (mantissa >= (std::uint64_t{2} << kMantissaBits)) {
    mantissa = std::uint64_t{1} << kMantissaBits;
    ++power2;
  }
  if (power2 >= kInfinitePower) return false;
  bits = (mantissa & ((std::uint64_t{1} << kMantissaBits) - 1)) |
         (static_cast<std::uint64_t>(power2) << kMantissaBits);
  return true;
}

}  // namespace

const char* read_short_real(const char* p, const char* end, double& out) {
  const bool negative = p != end && *p == '-';
  p += negative ? 1 : 0;
  if (p == end || !is_digit(*p)) return nullptr;

  std::uint64_t w = 0;
  std::ptrdiff_t significant = 0;  // digits from the first non-zero one on
  if (*p == '0') {
    ++p;
    if (p != end && is_digit(*p)) return nullptr;  // a leading zero
  } else {
    const char* first = p;
    p = accumulate_digits(p, end, w);
    significant = p - first;
  }
  int q = 0;
  if (p != end && *p == '.') {
    const char* first = ++p;
    if (significant == 0) {
      while (p != end && *p == '0') ++p;
    }
    const char* counted = p;
    p = accumulate_digits(p, end, w);
    if (p == first || p - first > kMaxFractionDigits) return nullptr;
    significant += p - counted;
    q = -static_cast<int>(p - first);
  }
  if (p != end && (*p == 'e' || *p == 'E')) {
    ++p;
    const bool exponent_negative = p != end && *p == '-';
    if (p != end && (*p == '+' || *p == '-')) ++p;
    const char* first = p;
    int exponent = 0;
    while (p != end && is_digit(*p)) {
      if (exponent < kExponentCap) exponent = exponent * 10 + (*p - '0');
      ++p;
    }
    if (p == first) return nullptr;
    q += exponent_negative ? -exponent : exponent;
  }
  if (significant > kMaxDigits) return nullptr;

  // The sign goes in as a bit: signs change unpredictably between numbers.
  const std::uint64_t sign = static_cast<std::uint64_t>(negative) << 63;
  std::uint64_t bits = 0;
  if (w != 0 &&
      (q < kFivePowerMinExponent || q > kFivePowerMaxExponent || !product_bits(w, q, bits))) {
    return nullptr;
  }
  out = std::bit_cast<double>(bits | sign);
  return p;
}

}  // namespace drel::snapshot
