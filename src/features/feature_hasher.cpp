#include "features/feature_hasher.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <utility>
#include <limits>

#include "features/murmur3.hpp"

namespace drel::features {

std::expected<FeatureHasher, Error> FeatureHasher::create(std::uint64_t n_features,
                                                          bool alternate_sign) {
  if (n_features == 0 || n_features > std::numeric_limits<std::int32_t>::max())
    return std::unexpected(Error::invalid_hash_dimension(n_features));
  return FeatureHasher(static_cast<std::uint32_t>(n_features), alternate_sign);
}

HashedName FeatureHasher::hash(std::string_view name) const noexcept {
  const auto h = static_cast<std::int32_t>(murmur3_32(name, 0));
  // |h| in 64 bits, so that -2^31 has its magnitude 2^31 as well.
  const auto magnitude = static_cast<std::uint64_t>(std::llabs(static_cast<std::int64_t>(h)));
  // The same remainder; a mask costs less than a division for the usual powers of two.
  const std::uint64_t index = std::has_single_bit(n_features_) ? magnitude & (n_features_ - 1)
                                                               : magnitude % n_features_;
  return {static_cast<std::uint32_t>(index), h < 0};
}

std::expected<void, Error> HashedRows::add(std::string_view name, double value) {
  if (!std::isfinite(value)) return std::unexpected(Error::non_finite_value("feature", value));
  if (value == 0.0) return {};
  const HashedName hashed = hasher_.hash(name);
  // A negation, exact: the value times -1.
  values_.push_back(hasher_.alternate_sign() && hashed.negative ? -value : value);
  indices_.push_back(static_cast<std::int32_t>(hashed.index));
  return {};
}

bool HashedRows::indices_sorted() const noexcept {
  for (std::size_t r = 0; r + 1 < indptr_.size(); ++r)
    for (std::size_t k = indptr_[r]; k + 1 < indptr_[r + 1]; ++k)
      if (indices_[k] > indices_[k + 1]) return false;
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

void HashedRows::sum_duplicates() {
  const bool sorted = indices_sorted();
  std::size_t out = 0;
  std::size_t row_start = 0;
  for (std::size_t r = 0; r + 1 < indptr_.size(); ++r) {
    const std::size_t end = indptr_[r + 1];
    if (!sorted) sort_row(row_start, end);
    for (std::size_t k = row_start; k < end;) {
      const std::int32_t column = indices_[k];
      double sum = values_[k];
      for (++k; k < end && indices_[k] == column; ++k) sum += values_[k];
      indices_[out] = column;
      values_[out] = sum;
      ++out;
    }
    row_start = end;
    indptr_[r + 1] = out;
  }
  indices_.resize(out);
  values_.resize(out);
}

}  // namespace drel::features
