#include "features/feature_hasher.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string_view>
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

}  // namespace
}  // namespace drel::features
