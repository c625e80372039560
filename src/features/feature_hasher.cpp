#include "features/feature_hasher.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstddef>
#include <limits>
#include <utility>

namespace drel::features {

std::expected<FeatureHasher, Error> FeatureHasher::create(std::uint64_t n_features,
                                                          bool alternate_sign) {
  if (n_features == 0 || n_features > std::numeric_limits<std::int32_t>::max())
    return std::unexpected(Error::invalid_hash_dimension(n_features));
  return FeatureHasher(static_cast<std::uint32_t>(n_features), alternate_sign);
}

HashedName FeatureHasher::place(std::uint32_t hash) const noexcept {
  const auto h = static_cast<std::int32_t>(hash);
  // |h| in 64 bits, so that -2^31 has its magnitude 2^31 as well.
  const auto magnitude = static_cast<std::uint64_t>(std::llabs(static_cast<std::int64_t>(h)));
  // The same remainder; a mask costs less than a division for the usual powers of two.
  const std::uint64_t index = std::has_single_bit(n_features_) ? magnitude & (n_features_ - 1)
                                                               : magnitude % n_features_;
  return {static_cast<std::uint32_t>(index), h < 0};
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
  const auto first = indices_.begin() + static_cast<std::ptrdiff_t>(begin);
  const auto last = indices_.begin() + static_cast<std::ptrdiff_t>(end);
  if (!std::is_sorted(first, last)) {
    all_sorted_ = false;
    sort_row(begin, end);
    end = sum_runs(begin, end, begin);
  } else if (std::adjacent_find(first, last) != last) {
    waiting_.push_back(rows());
  }
  indices_.resize(end);
  values_.resize(end);
  indptr_.push_back(end);
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
  indices_.resize(out);
  values_.resize(out);
  waiting_.clear();
}

HashedCsr HashedRows::take() {
  HashedCsr csr{std::move(indices_), std::move(values_), std::move(indptr_)};
  indices_.clear();
  values_.clear();
  indptr_.assign(1, 0);
  all_sorted_ = true;
  return csr;
}

}  // namespace drel::features
