#include "metrics/exact_sum.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

namespace drel {
namespace {

constexpr std::int64_t kDigitRange = std::int64_t{1} << ExactSum::kDigitBits;

}  // namespace

void ExactSum::normalize() {
  for (std::size_t i = 0; i + 1 < kCells; ++i) {
    const std::int64_t carry = cells_[i] >> kDigitBits;  // floor division
    cells_[i] -= carry * kDigitRange;
    cells_[i + 1] += carry;
  }
  pending_ = 0;
}

ExactSum ExactSum::normalized() const {
  ExactSum copy = *this;
  copy.normalize();
  return copy;
}

void ExactSum::add(const ExactSum& other) {
  normalize();
  const ExactSum rhs = other.normalized();
  for (std::size_t i = 0; i < kCells; ++i) cells_[i] += rhs.cells_[i];
  normalize();
}

void ExactSum::add_many(std::span<const double> terms) {
  // Four bins per exponent, taken in turn, so that terms of one exponent do
  // not wait on each other's addition. A bin takes at most 1024 significands
  // below 2^53 between two flushes: it stays below 2^63.
  constexpr std::size_t kLanes = 4;
  constexpr std::size_t kChunk = kLanes * 1024;
  constexpr std::size_t kPositions = ExponentBins::kPositions;
  // Zero between calls: a flush empties every bin it reads.
  thread_local std::array<std::array<std::uint64_t, kPositions>, kLanes> bins{};
  const auto put = [](double x, std::array<std::uint64_t, kPositions>& bin, std::uint64_t& lo,
                      std::uint64_t& hi) __attribute__((always_inline)) {
    const BinnedTerm t = binned(x);
    bin[t.position] += t.significand;
    // A zero adds nothing: it must not stretch the range the flush reads.
    lo = std::min(lo, t.zero ? std::uint64_t{kPositions} : t.position);
    hi = std::max(hi, t.zero ? 0 : t.position);
  };
  for (std::size_t first = 0; first < terms.size(); first += kChunk) {
    const std::size_t end = std::min(terms.size(), first + kChunk);
    std::uint64_t lo = kPositions, hi = 0;
    std::size_t i = first;
    for (; i + kLanes <= end; i += kLanes) {
      for (std::size_t lane = 0; lane < kLanes; ++lane) put(terms[i + lane], bins[lane], lo, hi);
    }
    for (std::size_t lane = 0; i < end; ++i, ++lane) put(terms[i], bins[lane], lo, hi);
    for (std::uint64_t position = lo; position <= hi && lo < kPositions; ++position) {
      for (auto& bin : bins) {
        if (bin[position] != 0) add_at(std::exchange(bin[position], 0), position, +1);
      }
    }
  }
}

void ExponentBins::flush_into(ExactSum& sum, Range& range) {
  for (std::uint64_t position = range.lo; position <= range.hi && range.lo < kPositions;
       ++position) {
    if (bins_[position] != 0) sum.add_at(std::exchange(bins_[position], 0), position, +1);
  }
  range = {};
}

void ExponentBins::clear(Range& range) {
  if (range.lo <= range.hi) std::fill(bins_.begin() + range.lo, bins_.begin() + range.hi + 1, 0);
  range = {};
}

bool ExactSum::is_zero() const {
  const ExactSum n = normalized();
  for (std::int64_t c : n.cells_) {
    if (c != 0) return false;
  }
  return true;
}

bool operator==(const ExactSum& a, const ExactSum& b) {
  return a.normalized().cells_ == b.normalized().cells_;
}

namespace {

// The magnitude of a normalised accumulator, and its sign.
struct Magnitude {
  bool negative;
  std::array<std::int64_t, ExactSum::kCells> cells;
};

template <class Cells>
Magnitude magnitude_of(Cells cells) {
  const bool negative = cells.back() < 0;
  if (negative) {
    for (auto& c : cells) c = -c;
    for (std::size_t i = 0; i + 1 < cells.size(); ++i) {
      const std::int64_t carry = cells[i] >> ExactSum::kDigitBits;
      cells[i] -= carry * kDigitRange;
      cells[i + 1] += carry;
    }
  }
  return {negative, cells};
}

}  // namespace

// The leading 64 bits of the magnitude, with every bit below them folded into
// the last one: one conversion of that integer then rounds correctly, as 64
// bits leave room for the rounding and sticky positions of a 53-bit
// significand. A magnitude of at most 64 bits is converted whole.
double ExactSum::scaled_value(int scale) const {
  const Magnitude m = magnitude_of(normalized().cells_);
  std::size_t top = kCells;
  while (top > 0 && m.cells[top - 1] == 0) --top;
  if (top == 0) return 0.0;
  const auto cell = [&](std::size_t i) { return static_cast<std::uint64_t>(m.cells[i]); };
  const int length = static_cast<int>(top - 1) * kDigitBits + std::bit_width(cell(top - 1));
  const int lowest = length > 64 ? length - 64 : 0;
  std::uint64_t window = 0;
  bool sticky = false;
  for (std::size_t i = 0; i < top; ++i) {
    const int at = static_cast<int>(i) * kDigitBits;
    const std::uint64_t c = cell(i);
    if (at >= lowest) {
      window += c << (at - lowest);
    } else if (lowest - at < 64) {
      window += c >> (lowest - at);
      sticky = sticky || (c & ((std::uint64_t{1} << (lowest - at)) - 1)) != 0;
    } else {
      sticky = sticky || c != 0;
    }
  }
  if (sticky) window |= 1;
  const double result = std::ldexp(static_cast<double>(window), lowest + kLowestExponent + scale);
  return m.negative ? -result : result;
}

double ExactSum::divided_by(std::uint64_t n) const {
  const double sum = value();
  const double count = static_cast<double>(n);
  if (std::isfinite(sum)) return sum / count;
  constexpr int kScale = 128;
  return std::ldexp(scaled_value(-kScale) / count, kScale);
}

ExactSum::Digits ExactSum::digits() const {
  const Magnitude m = magnitude_of(normalized().cells_);
  Digits d;
  std::size_t first = 0;
  while (first < kCells && m.cells[first] == 0) ++first;
  if (first == kCells) return d;
  std::size_t end = kCells;
  while (m.cells[end - 1] == 0) --end;
  d.negative = m.negative;
  d.first = first;
  for (std::size_t i = first; i < end; ++i) d.digits.push_back(static_cast<std::uint64_t>(m.cells[i]));
  return d;
}

std::optional<ExactSum> ExactSum::from_digits(const Digits& d) {
  if (d.digits.empty()) {
    if (d.negative || d.first != 0) return std::nullopt;
    return ExactSum{};
  }
  // The last cell is the sign cell: a canonical magnitude never reaches it.
  if (d.first >= kCells - 1 || d.digits.size() > kCells - 1 - d.first) return std::nullopt;
  if (d.digits.front() == 0 || d.digits.back() == 0) return std::nullopt;
  ExactSum sum;
  for (std::size_t i = 0; i < d.digits.size(); ++i) {
    if (d.digits[i] >= static_cast<std::uint64_t>(kDigitRange)) return std::nullopt;
    const auto value = static_cast<std::int64_t>(d.digits[i]);
    sum.cells_[d.first + i] = d.negative ? -value : value;
  }
  sum.normalize();
  return sum;
}

}  // namespace drel
