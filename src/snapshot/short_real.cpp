// Digits w and exponent q with value w * 10^q, then either one exact
// floating-point operation (w and 10^|q| both exact doubles), or the
// 128-bit product of w with a truncated power of five, which decides the
// rounding of every such w * 10^q except, possibly, when its low bits are all
// ones; that case goes back to the general path.

#include "snapshot/short_real.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>

#include "snapshot/five_powers.hpp"

namespace drel::snapshot {
namespace {

constexpr int kMaxDigits = 19;  // any 19 digits fit in 64 bits
// Beyond these the general path decides anyway; the caps keep the int
// arithmetic far from overflow.
constexpr std::ptrdiff_t kMaxFractionDigits = 100'000;
constexpr int kExponentCap = 100'000;
constexpr std::uint64_t kExactIntegerLimit = std::uint64_t{1} << 53;
constexpr int kMantissaBits = 52;
constexpr int kMinExponent = -1023;
constexpr int kInfinitePower = 0x7FF;

constexpr double kExactTenPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                      1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                      1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

bool is_digit(char c) { return c >= '0' && c <= '9'; }

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
  if (negative) ++p;
  if (p == end || !is_digit(*p)) return nullptr;

  std::uint64_t w = 0;
  int significant = 0;  // digits from the first non-zero one on
  int q = 0;
  if (*p == '0') {
    ++p;
    if (p != end && is_digit(*p)) return nullptr;  // a leading zero
  } else {
    do {
      w = w * 10 + static_cast<std::uint64_t>(*p++ - '0');
      ++significant;
    } while (p != end && is_digit(*p));
  }
  if (p != end && *p == '.') {
    const char* first = ++p;
    while (p != end && is_digit(*p)) {
      w = w * 10 + static_cast<std::uint64_t>(*p++ - '0');
      significant += w != 0 ? 1 : 0;
    }
    if (p == first || p - first > kMaxFractionDigits) return nullptr;
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

  if (w == 0) {
    out = negative ? -0.0 : 0.0;
    return p;
  }
  double value;
  if (w <= kExactIntegerLimit && q >= -22 && q <= 22) {
    // One correctly rounded operation on two exact operands.
    value = static_cast<double>(w);
    value = q < 0 ? value / kExactTenPowers[-q] : value * kExactTenPowers[q];
  } else {
    std::uint64_t bits = 0;
    if (q < kFivePowerMinExponent || q > kFivePowerMaxExponent || !product_bits(w, q, bits)) {
      return nullptr;
    }
    value = std::bit_cast<double>(bits);
  }
  out = negative ? -value : value;
  return p;
}

}  // namespace drel::snapshot
