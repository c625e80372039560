#include "features/feature_hasher.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "features/murmur3.hpp"

namespace drel::features {
namespace {

struct HashCase {
  std::string_view bytes;
  std::uint32_t hash;
};

// Every tail length (0 to 3 bytes after the blocks), multi-byte UTF-8 and a
// long input; the values are the reference implementation's.
class Murmur3Test : public ::testing::TestWithParam<HashCase> {};

TEST_P(Murmur3Test, MatchesReference) {
  EXPECT_EQ(murmur3_32(GetParam().bytes), GetParam().hash);
}

INSTANTIATE_TEST_SUITE_P(
    KnownValues, Murmur3Test,
    ::testing::Values(HashCase{"", 0u}, HashCase{"a", 1009084850u},
                      HashCase{"ab", 2613040991u}, HashCase{"abc", 3017643002u},
                      HashCase{"abcd", 1139631978u}, HashCase{"hello", 613153351u},
                      HashCase{"caf\xc3\xa9=fr", 330700392u},
                      HashCase{"The quick brown fox jumps over the lazy dog", 776992547u}));

TEST(Murmur3StreamTest, AnySplitIntoThreePiecesHashesAsTheWhole) {
  const std::string text = "The quick brown fox jumps over the lazy dog \xc3\xa9";
  for (std::size_t a = 0; a <= text.size(); ++a)
    for (std::size_t b = a; b <= text.size(); ++b) {
      Murmur3 stream;
      stream.update(std::string_view(text).substr(0, a));
      stream.update(std::string_view(text).substr(a, b - a));
      stream.update(std::string_view(text).substr(b));
      ASSERT_EQ(stream.finish(), murmur3_32(text)) << a << ' ' << b;
    }
}

TEST(Murmur3StreamTest, JoinedIsTheHashOfNameEqualsValueAtEveryLength) {
  // Both sides of the stack buffer's size, and every block offset.
  for (std::size_t n : {0, 1, 2, 3, 4, 5, 62, 63, 64, 65, 126, 127, 128, 129, 300})
    for (std::size_t v : {0, 1, 2, 3, 4, 63, 64, 65, 127, 128, 300}) {
      const std::string name(n, 'n'), value(v, '\xe9');
      ASSERT_EQ(murmur3_joined(name, value), murmur3_32(name + "=" + value)) << n << ' ' << v;
    }
}

TEST(FeatureHasherTest, RefusesDimensionsOutsideInt32Range) {
  for (std::uint64_t bad : {std::uint64_t{0}, std::uint64_t{1} << 31, ~std::uint64_t{0}})
    EXPECT_FALSE(FeatureHasher::create(bad, true).has_value()) << bad;
  EXPECT_TRUE(FeatureHasher::create((std::uint64_t{1} << 31) - 1, true).has_value());
}

TEST(FeatureHasherTest, IndexIsMagnitudeModuloAndSignIsHashSign) {
  const auto hasher = FeatureHasher::create(1000, true).value();
  // "hello" hashes to a positive int32, "a" too; 2613040991 ("ab") is negative.
  EXPECT_EQ(hasher.hash("hello").index, 613153351u % 1000);
  EXPECT_FALSE(hasher.hash("hello").negative);
  const std::int64_t ab = static_cast<std::int32_t>(2613040991u);
  EXPECT_EQ(hasher.hash("ab").index, static_cast<std::uint32_t>(-ab % 1000));
  EXPECT_TRUE(hasher.hash("ab").negative);
}

TEST(HashedRowsTest, SumsDuplicatesSkipsZerosAndKeepsCancellations) {
  const auto hasher = FeatureHasher::create(1, false).value();  // every name collides
  HashedRows rows(hasher);
  ASSERT_TRUE(rows.add("a", 1.5).has_value());
  ASSERT_TRUE(rows.add("b", 0.0).has_value());
  ASSERT_TRUE(rows.add("c", -1.5).has_value());
  rows.end_row();
  rows.end_row();  // an empty row
  rows.sum_duplicates();
  ASSERT_EQ(std::vector<std::int32_t>(rows.indices().begin(), rows.indices().end()),
            std::vector<std::int32_t>{0});
  EXPECT_EQ(rows.values()[0], 0.0);
  EXPECT_FALSE(std::signbit(rows.values()[0]));
  EXPECT_EQ(std::vector<std::size_t>(rows.indptr().begin(), rows.indptr().end()),
            (std::vector<std::size_t>{0, 1, 1}));
}

TEST(HashedRowsTest, RefusesNonFiniteValuesAndDiscardsTheOpenRow) {
  const auto hasher = FeatureHasher::create(16, true).value();
  HashedRows rows(hasher);
  ASSERT_TRUE(rows.add("a", 2.0).has_value());
  rows.end_row();
  ASSERT_TRUE(rows.add("b", 3.0).has_value());
  for (double bad : {std::numeric_limits<double>::quiet_NaN(),
                     std::numeric_limits<double>::infinity(),
                     -std::numeric_limits<double>::infinity()})
    EXPECT_FALSE(rows.add("b", bad).has_value());
  rows.discard_row();
  rows.sum_duplicates();
  EXPECT_EQ(rows.rows(), 1u);
  ASSERT_EQ(rows.values().size(), 1u);
  EXPECT_EQ(std::abs(rows.values()[0]), 2.0);
}

// Rows of random names, each settled as scipy settles a matrix built from the
// entries in the order they came: unless every row is in order, each row is
// std::sort-ed on (index, value) pairs by index alone; then runs are summed.
struct RowsCase {
  std::uint32_t n_features;
  bool presorted;  // each row's entries added in index order (duplicates as they came)
  unsigned seed;
};

class HashedRowsAgreementTest : public ::testing::TestWithParam<RowsCase> {};

TEST_P(HashedRowsAgreementTest, SettlesEveryRowAsScipyDoes) {
  const RowsCase c = GetParam();
  const auto hasher = FeatureHasher::create(c.n_features, true).value();
  std::mt19937 rng(c.seed);
  std::uniform_int_distribution<int> length(0, 90), name(0, 200), exponent(-3, 17);
  std::uniform_real_distribution<double> mantissa(-9.0, 9.0);
  using Entries = std::vector<std::pair<std::int32_t, double>>;
  HashedRows rows(hasher);
  std::vector<Entries> raw;
  for (int r = 0; r < 60; ++r) {
    std::vector<std::pair<std::string, double>> features;
    for (int k = length(rng); k > 0; --k)
      features.emplace_back("n" + std::to_string(name(rng)),
                            mantissa(rng) * std::pow(10.0, exponent(rng)));
    if (c.presorted)
      std::stable_sort(features.begin(), features.end(), [&](const auto& a, const auto& b) {
        return hasher.hash(a.first).index < hasher.hash(b.first).index;
      });
    Entries entries;
    for (const auto& [text, value] : features) {
      ASSERT_TRUE(rows.add(text, value).has_value());
      const HashedName h = hasher.hash(text);
      entries.emplace_back(static_cast<std::int32_t>(h.index), h.negative ? -value : value);
    }
    rows.end_row();
    raw.push_back(std::move(entries));
  }
  rows.sum_duplicates();

  const bool all_sorted = std::all_of(raw.begin(), raw.end(), [](const Entries& e) {
    return std::is_sorted(e.begin(), e.end(),
                          [](const auto& a, const auto& b) { return a.first < b.first; });
  });
  std::vector<std::size_t> indptr{0};
  Entries expected;
  for (Entries& e : raw) {
    if (!all_sorted)
      std::sort(e.begin(), e.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (std::size_t k = 0; k < e.size();) {
      auto [column, sum] = e[k];
      for (++k; k < e.size() && e[k].first == column; ++k) sum += e[k].second;
      expected.emplace_back(column, sum);
    }
    indptr.push_back(expected.size());
  }
  ASSERT_EQ(std::vector<std::size_t>(rows.indptr().begin(), rows.indptr().end()), indptr);
  for (std::size_t k = 0; k < expected.size(); ++k) {
    ASSERT_EQ(rows.indices()[k], expected[k].first) << k;
    ASSERT_EQ(std::bit_cast<std::uint64_t>(rows.values()[k]),
              std::bit_cast<std::uint64_t>(expected[k].second)) << k;
  }
  const HashedCsr csr = rows.take();
  EXPECT_EQ(csr.indptr, indptr);
  EXPECT_EQ(rows.rows(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    RandomRows, HashedRowsAgreementTest,
    ::testing::Values(RowsCase{1, false, 1}, RowsCase{2, true, 2}, RowsCase{2, false, 3},
                      RowsCase{5, true, 4}, RowsCase{5, false, 5}, RowsCase{64, false, 6},
                      RowsCase{1000, true, 7}, RowsCase{1u << 20, false, 8},
                      RowsCase{(1u << 31) - 1, false, 9}));

}  // namespace
}  // namespace drel::features
