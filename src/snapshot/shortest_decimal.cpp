// The interval method: every decimal inside the rounding interval of x reads
// back to x; the shortest one is found by scaling x and the interval's bounds
// by a power of ten close to x's ulp and looking at the two nearest
// multiples of 10 and of 1. Scaled values are rounded to odd, so comparing
// them is exact although the power of ten is only 126 bits long.

#include "snapshot/shortest_decimal.hpp"

#include <bit>

#include "snapshot/ten_powers.hpp"

namespace drel::snapshot {
namespace {

constexpr int kSignificandBits = 52;
constexpr std::uint64_t kHiddenBit = std::uint64_t{1} << kSignificandBits;
constexpr int kMinBinaryExponent = -1074;  // of the least significant bit
constexpr std::uint64_t kLow63 = (std::uint64_t{1} << 63) - 1;

// floor(log10(2^q)), floor(log10(3/4 * 2^q)) and floor(log2(10^e)), exact for
// every q and e a double needs.
int floor_log10_pow2(int q) {
  return static_cast<int>((std::int64_t{q} * 661'971'961'083) >> 41);
}
int floor_log10_three_quarters_pow2(int q) {
  return static_cast<int>((std::int64_t{q} * 661'971'961'083 - 274'743'187'321) >> 41);
}
int floor_log2_pow10(int e) { return static_cast<int>((std::int64_t{e} * 913'124'641'741) >> 38); }

std::uint64_t high_product(std::uint64_t a, std::uint64_t b) {
  return static_cast<std::uint64_t>((static_cast<unsigned __int128>(a) * b) >> 64);
}

// floor(g * cp / 2^127), with its lowest bit set when the division is inexact.
std::uint64_t round_to_odd(const TenPower& g, std::uint64_t cp) {
  const std::uint64_t x1 = high_product(g.lo, cp);
  const unsigned __int128 y = static_cast<unsigned __int128>(g.hi) * cp;
  const auto y0 = static_cast<std::uint64_t>(y);
  const auto y1 = static_cast<std::uint64_t>(y >> 64);
  const std::uint64_t z = (y0 >> 1) + x1;
  const std::uint64_t floor = y1 + (z >> 63);
  return floor | (((z & kLow63) + kLow63) >> 63);
}

ShortestDecimal without_trailing_zeros(ShortestDecimal d) {
  while (d.significand % 10 == 0) {
    d.significand /= 10;
    ++d.exponent;
  }
  return d;
}

// x = c * 2^q; the result has no trailing zero.
ShortestDecimal interval_digits(std::uint64_t c, int q) {
  // The interval is open when c is odd: its bounds round to even neighbours.
  const std::uint64_t open = c & 1;
  const std::uint64_t cb = c << 2;
  const std::uint64_t cbr = cb + 2;
  std::uint64_t cbl;
  int k;
  if (c != kHiddenBit || q == kMinBinaryExponent) {
    cbl = cb - 2;
    k = floor_log10_pow2(q);
  } else {  // a power of two: the gap below is half the gap above
    cbl = cb - 1;
    k = floor_log10_three_quarters_pow2(q);
  }
  const int h = q + floor_log2_pow10(-k) + 2;
  const TenPower& g = kTenPowers[static_cast<std::size_t>(k - kTenPowerMinExponent)];

  // 4 * x / 10^k and the bounds on the same scale.
  const std::uint64_t vb = round_to_odd(g, cb << h);
  const std::uint64_t vbl = round_to_odd(g, cbl << h);
  const std::uint64_t vbr = round_to_odd(g, cbr << h);

  const std::uint64_t s = vb >> 2;
  if (s >= 10) {
    // One digit fewer: at most one of the multiples of 10 around s fits
    // (the interval is narrower than 10 units of 10^k).
    const std::uint64_t sp = s / 10;
    const bool up_in = vbl + open <= (sp * 10) << 2;
    const bool wp_in = ((sp * 10 + 10) << 2) + open <= vbr;
    if (up_in != wp_in) return without_trailing_zeros({up_in ? sp : sp + 1, k + 1});
  }
  const std::uint64_t t = s + 1;
  const bool u_in = vbl + open <= s << 2;
  const bool w_in = (t << 2) + open <= vbr;
  // Both fit: the nearer one, the even one on a tie.
  const auto cmp = static_cast<std::int64_t>(vb - ((s + t) << 1));
  const ShortestDecimal d{(u_in != w_in ? u_in : cmp < 0 || (cmp == 0 && (s & 1) == 0)) ? s : t,
                          k};
  // From s >= 10 on, a choice ending in 0 would be one of s' and t' and have
  // been taken above: only the one-digit cases need trimming.
  return s >= 10 ? d : without_trailing_zeros(d);
}

}  // namespace

ShortestDecimal shortest_decimal(double x) {
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
  const std::uint64_t fraction = bits & (kHiddenBit - 1);
  const int biased = static_cast<int>((bits >> kSignificandBits) & 0x7FF);
  if (biased == 0) return interval_digits(fraction, kMinBinaryExponent);
  const std::uint64_t c = kHiddenBit | fraction;
  const int q = biased - 1075;
  // An integer below 2^53 is its own shortest form.
  if (q < 0 && q > -kSignificandBits - 1) {
    const int shift = -q;
    if ((c & ((std::uint64_t{1} << shift) - 1)) == 0) {
      return without_trailing_zeros({c >> shift, 0});
    }
  }
  return interval_digits(c, q);
}

}  // namespace drel::snapshot
