// The hashing trick: a feature's name picks its column by 32-bit MurmurHash3
// (seed 0), and optionally its sign, so that any set of names fits a fixed
// number of columns. Index and sign follow scikit-learn's FeatureHasher, and a
// row's duplicates are summed in the order scipy's sum_duplicates sums them,
// so that both libraries hand a model the same numbers bit for bit.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "error/error.hpp"

namespace drel::features {

struct HashedName {
  std::uint32_t index;
  bool negative;  // the sign the hash gives when signs alternate
};

class FeatureHasher {
 public:
  // n_features in [1, 2^31 - 1], the range of a CSR matrix's int32 indices.
  static std::expected<FeatureHasher, Error> create(std::uint64_t n_features,
                                                    bool alternate_sign);

  std::uint32_t n_features() const noexcept { return n_features_; }
  bool alternate_sign() const noexcept { return alternate_sign_; }

  HashedName hash(std::string_view name) const noexcept;

 private:
  FeatureHasher(std::uint32_t n_features, bool alternate_sign)
      : n_features_(n_features), alternate_sign_(alternate_sign) {}
  std::uint32_t n_features_;
  bool alternate_sign_;
};

// Hashed rows in CSR form: entries first in the order their features came, as
// scikit-learn hands them to scipy, then sorted and summed by sum_duplicates().
class HashedRows {
 public:
  explicit HashedRows(const FeatureHasher& hasher) : hasher_(hasher) {}

  // Adds one feature to the open row. A zero value adds no entry; a non-finite
  // one is refused and adds nothing.
  std::expected<void, Error> add(std::string_view name, double value);
  void end_row() { indptr_.push_back(indices_.size()); }
  // Drops the open row's entries.
  void discard_row() {
    indices_.resize(indptr_.back());
    values_.resize(indptr_.back());
  }

  // What scipy's sum_duplicates does: unless every row's indices are already
  // in order, each row is sorted by std::sort on (index, value) pairs ordered by
  // index alone (not stable: equal indices may change places); then each run of
  // equal indices is summed from left to right into one entry. A sum that
  // cancels to 0.0 stays an entry. Doing the same keeps the sums' last bits.
  void sum_duplicates();

  std::size_t rows() const noexcept { return indptr_.size() - 1; }
  std::span<const std::int32_t> indices() const noexcept { return indices_; }
  std::span<const double> values() const noexcept { return values_; }
  std::span<const std::size_t> indptr() const noexcept { return indptr_; }

 private:
  bool indices_sorted() const noexcept;
  void sort_row(std::size_t begin, std::size_t end);

  const FeatureHasher& hasher_;
  std::vector<std::int32_t> indices_;
  std::vector<double> values_;
  std::vector<std::size_t> indptr_{0};
  std::vector<std::pair<std::int32_t, double>> scratch_;
};

}  // namespace drel::features
