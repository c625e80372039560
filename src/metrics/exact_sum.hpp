// The exact sum of a multiset of doubles: every addition and removal is
// exact, so a removal undoes its addition bit for bit, two sums merge without
// rounding and the order of the terms never matters. Rounding happens once,
// when the value is read.
//
// The sum is held as signed 32-bit digits in 64-bit cells (a long accumulator
// over the whole double range, with headroom for 2^64 terms). An addition
// touches three cells and never carries; the carries are propagated once
// every 2^30 operations, before any cell could leave its range.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace drel {

// Where a double's magnitude goes when terms are gathered by exponent: the
// position of its exponent (as accumulate() scales it: a normal number's
// implicit bit made explicit, a subnormal at the least normal exponent) and
// its significand, below 2^53. A zero adds nothing wherever it goes.
struct BinnedTerm {
  std::uint64_t position;
  std::uint64_t significand;
  bool zero;
};

[[gnu::always_inline]] inline BinnedTerm binned(double x) {
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
  const std::uint64_t biased = (bits >> 52) & 0x7FF;
  const std::uint64_t normal = biased != 0;
  return {biased - normal, (bits & 0xFFFFFFFFFFFFFull) | (normal << 52), (bits << 1) == 0};
}

class ExponentBins;

class ExactSum {
 public:
  // Bit 0 of cell 0 weighs 2^-1074, the least subnormal.
  static constexpr int kLowestExponent = -1074;
  static constexpr int kDigitBits = 32;
  // 2098 bits of the double range plus 64 of count headroom and a sign cell.
  static constexpr std::size_t kCells = 70;

  [[gnu::always_inline]] inline void add(double x) { accumulate(x, +1); }
  [[gnu::always_inline]] inline void remove(double x) { accumulate(x, -1); }
  void add(const ExactSum& other);
  // The same sum as add() of each term, for finite terms that are not
  // negative (-0.0 allowed): a term costs one integer addition to a bin of its
  // exponent, and the bins are added to the cells every few thousand terms.
  void add_many(std::span<const double> terms);

  // The sum rounded to the nearest double (ties to even); +-inf beyond range.
  double value() const { return scaled_value(0); }
  // The sum times 2^scale, rounded once.
  double scaled_value(int scale) const;
  // The sum divided by n (n > 0), as fl(sum / n) when the rounded sum is
  // finite; a sum beyond the double range is scaled down first, so the
  // quotient of finite terms is always finite.
  double divided_by(std::uint64_t n) const;

  bool is_zero() const;

  // The canonical form a snapshot stores: the magnitude's base-2^32 digits,
  // least significant first, from the first non-zero one to the last, and the
  // index of the first. Zero is no digits.
  struct Digits {
    bool negative = false;
    std::uint64_t first = 0;
    std::vector<std::uint64_t> digits;
  };
  Digits digits() const;
  // nullopt unless `d` is canonical: digits below 2^32, the first and last
  // non-zero, all within the accumulator, no sign on zero.
  static std::optional<ExactSum> from_digits(const Digits& d);

  friend bool operator==(const ExactSum& a, const ExactSum& b);

 private:
  [[gnu::always_inline]] inline void accumulate(double x, std::int64_t sign) {
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
    const std::uint64_t biased = (bits >> 52) & 0x7FF;
    std::uint64_t mantissa = bits & 0xFFFFFFFFFFFFFull;
    // A normal number's leading bit is implicit; a subnormal's scale is that
    // of the least normal exponent.
    std::uint64_t position = 0;
    if (biased != 0) {
      mantissa |= 0x10000000000000ull;
      position = biased - 1;
    }
    if (bits >> 63) sign = -sign;
    add_at(mantissa, position, sign);
  }
  // sign * v * 2^(position + kLowestExponent), for any 64-bit v: its bits fall
  // into three digits, each below 2^32.
  [[gnu::always_inline]] inline void add_at(std::uint64_t v, std::uint64_t position,
                                            std::int64_t sign) {
    const std::uint64_t cell = position / kDigitBits;
    const unsigned offset = static_cast<unsigned>(position % kDigitBits);
    constexpr std::uint64_t kDigit = 0xFFFFFFFFull;
    const std::uint64_t low = (v << offset) & kDigit;
    const std::uint64_t middle = (v >> (kDigitBits - offset)) & kDigit;
    const std::uint64_t high = offset == 0 ? 0 : v >> (64 - offset);
    cells_[cell] += sign * static_cast<std::int64_t>(low);
    cells_[cell + 1] += sign * static_cast<std::int64_t>(middle);
    cells_[cell + 2] += sign * static_cast<std::int64_t>(high);
    if (++pending_ == kCarryInterval) [[unlikely]] normalize();
  }
  // Every cell but the last back into [0, 2^32); the last keeps the sign.
  void normalize();
  ExactSum normalized() const;

  static constexpr std::uint32_t kCarryInterval = 1u << 30;
  std::array<std::int64_t, kCells> cells_{};
  std::uint32_t pending_ = 0;  // operations since the last normalisation

  friend class ExponentBins;
};

// Terms on their way to an ExactSum, a row at a time inside another loop: a
// term adds its significand to the bin of its exponent (one integer addition,
// no carry, no branch), and a flush adds the bins to a sum, exactly as add()
// of each term would. A bin takes at most kCapacity significands between two
// flushes, so it stays below 2^63. The terms are finite and not negative
// (-0.0 allowed); a non-finite one only lands in the top bin, so that a caller
// that checks its terms as it goes can drop the bins when a check failed.
//
// The range of bins that may be non-zero is the caller's to keep, beside
// the rest of what it gathers per term.
class ExponentBins {
 public:
  static constexpr std::size_t kPositions = 2046;  // the positions of finite doubles
  static constexpr std::size_t kCapacity = 1024;

  struct Range {
    std::uint64_t lo = kPositions;
    std::uint64_t hi = 0;
  };

  [[gnu::always_inline]] inline void put(double x, Range& range) {
    const BinnedTerm t = binned(x);
    const std::uint64_t position = std::min<std::uint64_t>(t.position, kPositions - 1);
    bins_[position] += t.significand;
    range.lo = std::min(range.lo, t.zero ? std::uint64_t{kPositions} : position);
    range.hi = std::max(range.hi, t.zero ? std::uint64_t{0} : position);
  }
  // Adds the terms put in `range` since the last flush to `sum`, and empties
  // the bins.
  void flush_into(ExactSum& sum, Range& range);
  // Empties the bins.
  void clear(Range& range);

 private:
  std::array<std::uint64_t, kPositions> bins_{};
};

}  // namespace drel
