#include "features/feature_hasher.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstddef>
#include <cstring>
#include <limits>
#include <utility>

#include "common/machine.hpp"

namespace drel::features {

std::expected<FeatureHasher, Error> FeatureHasher::create(std::uint64_t n_features,
                                                          bool alternate_sign) {
  if (n_features == 0 || n_features > std::numeric_limits<std::int32_t>::max())
    return std::unexpected(Error::invalid_hash_dimension(n_features));
  return FeatureHasher(static_cast<std::uint32_t>(n_features), alternate_sign);
}

std::expected<void, Error> HashedRows::add_hash(std::uint32_t hash, double value) {
  if (!std::isfinite(value)) return std::unexpected(Error::non_finite_value("feature", value));
  if (value == 0.0) return {};
  push(hasher_.place(hash), value);
  return {};
}

void HashedRows::end_row() {
  const std::size_t begin = indptr_.back();
  std::size_t end = indices_.size();
  const std::int32_t* first = indices_.begin() + begin;
  const std::int32_t* last = indices_.begin() + end;
  if (!std::is_sorted(first, last)) {
    all_sorted_ = false;
    if (!sort_distinct(begin, end)) {
      sort_row(begin, end);
      end = sum_runs(begin, end, begin);
    }
  } else if (std::adjacent_find(first, last) != last) {
    waiting_.push_back(rows());
  }
  indices_.truncate(end);
  values_.truncate(end);
  indptr_.push_back(end);
}

namespace {

// Rows up to this long are sorted by rank, in a fixed number of steps with
// no branch that depends on the data: quicker than std::sort for the usual
// rows of a few dozen features.
constexpr std::size_t kRankSortRows = 64;
using Lanes = Int32Lanes4;
constexpr std::size_t kLanes = sizeof(Lanes) / sizeof(std::int32_t);

// How many of the n indices in `padded` (blocks of lanes) are below `key`.
inline std::uint32_t count_below(const std::int32_t* padded, std::size_t blocks, Lanes key) {
  Lanes less{};
  for (std::size_t b = 0; b < blocks; ++b) {
    Lanes block;
    std::memcpy(&block, padded + b * kLanes, sizeof block);
    less += block < key;  // -1 where true
  }
  std::int32_t smaller = 0;
  for (std::size_t l = 0; l < kLanes; ++l) smaller -= less[l];
  return static_cast<std::uint32_t>(smaller);
}

// Each index's rank (how many indices are smaller) into `ranks`; false when
// two indices are equal. `padded` holds the n indices, then INT32_MAX up to a
// whole number of lanes: no index is that large, so padding is never counted.
// Equal indices have equal ranks, and n distinct ones the ranks 0 to n - 1
// each once: the indices are distinct exactly when every rank below n is taken.
bool rank_distinct(const std::int32_t* padded, std::size_t n, std::uint32_t* ranks) {
  static_assert(kRankSortRows <= 64, "the ranks taken are bits of one word");
  const std::size_t blocks = (n + kLanes - 1) / kLanes;
  std::uint64_t taken = 0;
  for (std::size_t i = 0; i < n; ++i) {
    ranks[i] = count_below(padded, blocks, Lanes{} + padded[i]);
    taken |= std::uint64_t{1} << ranks[i];
  }
  return taken == (n == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << n) - 1);
}

}  // namespace

bool HashedRows::sort_distinct(std::size_t begin, std::size_t end) {
  const std::size_t n = end - begin;
  if (n <= kRankSortRows) {
    std::int32_t padded[kRankSortRows];
    std::uint32_t ranks[kRankSortRows];
    std::copy_n(indices_.begin() + begin, n, padded);
    std::fill(padded + n, padded + (n + kLanes - 1) / kLanes * kLanes,
              std::numeric_limits<std::int32_t>::max());
    if (!rank_distinct(padded, n, ranks)) return false;
    double values[kRankSortRows];
    std::copy_n(values_.begin() + begin, n, values);
    for (std::size_t k = 0; k < n; ++k) {
      indices_[begin + ranks[k]] = padded[k];
      values_[begin + ranks[k]] = values[k];
    }
    return true;
  }
  if (n > std::numeric_limits<std::uint32_t>::max()) return false;
  keys_.resize(n);
  // Index above position: the keys sort by index, and are distinct.
  for (std::size_t k = 0; k < n; ++k)
    keys_[k] = std::uint64_t{static_cast<std::uint32_t>(indices_[begin + k])} << 32 | k;
  std::sort(keys_.begin(), keys_.end());
  for (std::size_t k = 1; k < n; ++k)
    if ((keys_[k] >> 32) == (keys_[k - 1] >> 32)) return false;
  reals_.assign(values_.begin() + begin, values_.begin() + end);
  for (std::size_t k = 0; k < n; ++k) {
    indices_[begin + k] = static_cast<std::int32_t>(keys_[k] >> 32);
    values_[begin + k] = reals_[keys_[k] & 0xffffffffu];
  }
  return true;
}

void HashedRows::sort_row(std::size_t begin, std::size_t end) {
  scratch_.clear();
  for (std::size_t k = begin; k < end; ++k) scratch_.emplace_back(indices_[k], values_[k]);
  std::sort(scratch_.begin(), scratch_.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  for (std::size_t k = begin; k < end; ++k) {
    indices_[k] = scratch_[k - begin].first;
    values_[k] = scratch_[k - begin].second;
  }
}

std::size_t HashedRows::sum_runs(std::size_t begin, std::size_t end, std::size_t out) {
  for (std::size_t k = begin; k < end;) {
    const std::int32_t column = indices_[k];
    double sum = values_[k];
    for (++k; k < end && indices_[k] == column; ++k) sum += values_[k];
    indices_[out] = column;
    values_[out] = sum;
    ++out;
  }
  return out;
}

void HashedRows::sum_duplicates() {
  if (waiting_.empty()) return;
  std::size_t out = indptr_[waiting_.front()];
  std::size_t row_start = out;
  auto waiting = waiting_.begin();
  for (std::size_t r = waiting_.front(); r < rows(); ++r) {
    const std::size_t end = indptr_[r + 1];
    // The other rows are settled already: summing moves them unchanged.
    if (waiting != waiting_.end() && *waiting == r) {
      ++waiting;
      if (!all_sorted_) sort_row(row_start, end);
    }
    out = sum_runs(row_start, end, out);
    row_start = end;
    indptr_[r + 1] = out;
  }
  indices_.truncate(out);
  values_.truncate(out);
  waiting_.clear();
}

HashedCsr HashedRows::take() {
  indices_.shrink_to_fit();
  values_.shrink_to_fit();
  HashedCsr csr{std::move(indices_), std::move(values_), std::move(indptr_)};
  indptr_.assign(1, 0);
  all_sorted_ = true;
  return csr;
}

}  // namespace drel::features
