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
#include "features/entries.hpp"
#include "features/murmur3.hpp"

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

  HashedName hash(std::string_view name) const noexcept { return place(murmur3_32(name)); }
  // The column and sign of a name whose MurmurHash3 is `hash`.
  HashedName place(std::uint32_t hash) const noexcept {
    const auto h = static_cast<std::int32_t>(hash);
    // |h| in 64 bits, so that -2^31 has its magnitude 2^31 as well.
    const std::uint64_t magnitude =
        h < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(static_cast<std::int64_t>(h))
              : static_cast<std::uint64_t>(h);
    // The same remainder; a mask costs less than a division for the usual powers of two.
    const std::uint64_t index = mask_ != 0 || n_features_ == 1 ? magnitude & mask_
                                                               : magnitude % n_features_;
    return {static_cast<std::uint32_t>(index), h < 0};
  }

 private:
  FeatureHasher(std::uint32_t n_features, bool alternate_sign)
      : n_features_(n_features),
        mask_((n_features & (n_features - 1)) == 0 ? n_features - 1 : 0),
        alternate_sign_(alternate_sign) {}
  std::uint32_t n_features_;
  std::uint32_t mask_;  // n_features - 1 for a power of two, else 0
  bool alternate_sign_;
};

// The arrays of a CSR matrix, handed over whole.
struct HashedCsr {
  Entries<std::int32_t> indices;
  Entries<double> values;
  std::vector<std::size_t> indptr;
};

// Hashed rows in CSR form, as scikit-learn hands them to scipy and scipy's
// sum_duplicates makes them canonical: each row sorted by index and each run of
// equal indices summed. Every row is settled when it ends, while its entries
// are in cache, except the one kind of row whose outcome depends on the rows
// after it (see end_row); sum_duplicates() settles those.
class HashedRows {
 public:
  explicit HashedRows(const FeatureHasher& hasher) : hasher_(hasher) {}

  // Adds one feature to the open row. A zero value adds no entry; a non-finite
  // one is refused and adds nothing.
  std::expected<void, Error> add(std::string_view name, double value) {
    return add_hash(murmur3_32(name), value);
  }
  // The same for a name whose MurmurHash3 is known.
  std::expected<void, Error> add_hash(std::uint32_t hash, double value);
  // The feature "name=value" with value 1, hashed without joining the bytes
  // on the heap.
  void add_joined(std::string_view name, std::string_view value) {
    push(hasher_.place(murmur3_joined(name, value)), 1.0);
  }

  // Closes the open row. scipy sorts nothing when every row of the matrix is
  // already in order, and otherwise sorts every row with std::sort on (index,
  // value) pairs ordered by index alone, which may swap equal indices even in
  // a row that was in order. An unsorted row is therefore sorted now, a sorted
  // row without duplicates needs nothing, and only a sorted row with
  // duplicates waits, in its original order, for sum_duplicates().
  void end_row();
  // Room for `entries` more entries without reallocating: for one sample,
  // whose features are counted first; a stream of samples grows geometrically.
  void reserve(std::size_t entries) {
    indices_.reserve(indices_.size() + entries);
    values_.reserve(values_.size() + entries);
  }
  // Drops the open row's entries.
  void discard_row() {
    indices_.truncate(indptr_.back());
    values_.truncate(indptr_.back());
  }

  // Settles the rows that waited, as scipy's sum_duplicates would: each run of
  // equal indices is summed from left to right into one entry, and a sum that
  // cancels to 0.0 stays an entry, so that the sums keep their last bits.
  void sum_duplicates();

  std::size_t rows() const noexcept { return indptr_.size() - 1; }
  std::span<const std::int32_t> indices() const noexcept {
    return {indices_.data(), indices_.size()};
  }
  std::span<const double> values() const noexcept { return {values_.data(), values_.size()}; }
  std::span<const std::size_t> indptr() const noexcept { return indptr_; }
  // The arrays, after sum_duplicates(); the rows are empty afterwards.
  HashedCsr take();

 private:
  void push(HashedName hashed, double value) {
    // A negation, exact: the value times -1.
    values_.push_back(hasher_.alternate_sign() && hashed.negative ? -value : value);
    indices_.push_back(static_cast<std::int32_t>(hashed.index));
  }
  // Sorts a row whose indices are distinct, where any sort gives scipy's
  // order; false, the row untouched, when two indices are equal.
  bool sort_distinct(std::size_t begin, std::size_t end);
  // Sorts a row exactly as scipy does (see end_row).
  void sort_row(std::size_t begin, std::size_t end);
  // Sums each run of equal indices in [begin, end) into entries written from
  // `out` (at most begin) on; returns the end of what it wrote.
  std::size_t sum_runs(std::size_t begin, std::size_t end, std::size_t out);

  const FeatureHasher& hasher_;
  Entries<std::int32_t> indices_;
  Entries<double> values_;
  std::vector<std::size_t> indptr_{0};
  std::vector<std::pair<std::int32_t, double>> scratch_;
  std::vector<std::uint64_t> keys_;  // scratch of sort_distinct
  std::vector<double> reals_;        // scratch of sort_distinct
  bool all_sorted_ = true;            // every ended row was in order as it came
  std::vector<std::size_t> waiting_;  // the sorted rows with duplicates, in order
};

}  // namespace drel::features
