#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "case_names.hpp"
#include "error/error.hpp"
#include "error/float_text.hpp"
#include "error/guards.hpp"

namespace drel {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

struct MessageCase {
  Error error;
  const char* text;
};

class ErrorMessage : public ::testing::TestWithParam<MessageCase> {};

TEST_P(ErrorMessage, RendersTemplate) { EXPECT_EQ(GetParam().error.message(), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    AllKinds, ErrorMessage,
    ::testing::Values(
        MessageCase{Error::dimension_mismatch(3, 2), "dimension mismatch: expected 3, got 2"},
        MessageCase{Error::empty_features(), "empty features are not allowed"},
        MessageCase{Error::invalid_window_size(), "invalid window size: must be greater than zero"},
        MessageCase{Error::invalid_learning_rate(0.0),
                    "invalid learning rate: 0 (must be finite and > 0)"},
        MessageCase{Error::invalid_parameter("alpha", 1.5), "invalid parameter `alpha`: 1.5"},
        MessageCase{Error::non_finite_value("value", kNaN), "non-finite value for `value`: NaN"},
        MessageCase{Error::non_finite_value("value", -kInf), "non-finite value for `value`: -inf"},
        MessageCase{Error::non_finite_value("mean delta", kInf),
                    "non-finite value for `mean delta`: inf"},
        MessageCase{Error::invalid_probability(1.5), "invalid probability: 1.5 (must be in [0, 1])"},
        MessageCase{Error::insufficient_data(),
                    "insufficient data to compute the requested quantity"},
        MessageCase{Error::incompatible_state_version(1, 2),
                    "incompatible state version: expected 1, got 2"},
        MessageCase{Error::unsorted_sparse_features(),
                    "sparse features must be sorted by FeatureId"},
        MessageCase{Error::duplicate_feature_id(kMax),
                    "duplicate feature id: 18446744073709551615"},
        MessageCase{Error::invalid_hash_dimension(0), "invalid hash dimension: 0 (must be > 0)"},
        MessageCase{Error::unknown_category("red"), "unknown category: red"},
        MessageCase{Error::missing_value(4), "missing value (NaN) at index 4"},
        MessageCase{Error::invalid_capacity(0),
                    "invalid capacity: 0 (must be greater than zero)"},
        MessageCase{Error::invalid_significance_level(1.0),
                    "invalid significance level: 1 (must be in (0, 1))"},
        MessageCase{Error::invalid_arm_count(0),
                    "invalid arm count: 0 (must be greater than zero)"},
        MessageCase{Error::invalid_epsilon(-0.5), "invalid epsilon: -0.5 (must be in [0, 1])"},
        MessageCase{Error::invalid_arm_index(5, 3), "invalid arm index: 5 (must be < 3)"},
        MessageCase{Error::invalid_reward(kNaN),
                    "invalid reward: NaN (must be finite and in the valid range)"},
        MessageCase{Error::invalid_feature_count(0),
                    "invalid feature count: 0 (must be greater than zero)"},
        MessageCase{Error::invalid_model_state("mean sample counter overflow"),
                    "invalid model state: mean sample counter overflow"}),
    test::named([](const MessageCase& c) { return c.text; }));

struct FloatCase {
  double value;
  std::string text;
};

class MessageFloat : public ::testing::TestWithParam<FloatCase> {};

TEST_P(MessageFloat, PositionalShortest) {
  EXPECT_EQ(message_float(GetParam().value), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Table, MessageFloat,
    ::testing::Values(FloatCase{1.0, "1"}, FloatCase{0.5, "0.5"}, FloatCase{-2.5, "-2.5"},
                      FloatCase{1e-7, "0.0000001"}, FloatCase{1e21, "1000000000000000000000"},
                      FloatCase{1e23, "100000000000000000000000"}, FloatCase{-0.0, "-0"},
                      FloatCase{0.0, "0"}, FloatCase{0.1, "0.1"}, FloatCase{kNaN, "NaN"},
                      FloatCase{-kNaN, "NaN"}, FloatCase{kInf, "inf"}, FloatCase{-kInf, "-inf"},
                      FloatCase{0.1 + 0.2, "0.30000000000000004"}, FloatCase{12.375, "12.375"},
                      FloatCase{123456.0, "123456"}, FloatCase{1.5e-7, "0.00000015"},
                      FloatCase{1.7976931348623157e308,
                                "17976931348623157" + std::string(292, '0')}),
    test::named([](const FloatCase& c) { return test::words(c.value); }));

TEST(MessageFloatTable, SmallestSubnormalHasAllItsZeros) {
  EXPECT_EQ(message_float(5e-324), "0." + std::string(323, '0') + "5");
}

// Random doubles over every exponent range, subnormals and signed zeros: the
// text never has an exponent and reads back to the very same value.
TEST(MessageFloatProperty, RoundTripsWithoutExponent) {
  std::mt19937_64 rng(20261207);
  for (int i = 0; i < 200000; ++i) {
    std::uint64_t bits = rng();
    if (i % 7 == 0) bits &= 0x800FFFFFFFFFFFFFull;  // subnormals and zeros
    double x;
    std::memcpy(&x, &bits, sizeof x);
    if (!std::isfinite(x)) continue;
    const std::string text = message_float(x);
    ASSERT_EQ(text.find_first_of("eE"), std::string::npos) << text;
    double back = 0;
    const auto r = std::from_chars(text.data(), text.data() + text.size(), back);
    ASSERT_EQ(r.ec, std::errc()) << text;
    ASSERT_EQ(r.ptr, text.data() + text.size());
    std::uint64_t back_bits;
    std::memcpy(&back_bits, &back, sizeof back);
    ASSERT_EQ(back_bits, bits) << text;
  }
}

TEST(Guards, CheckFiniteNamesTheValue) {
  EXPECT_TRUE(check_finite("x", -0.0));
  EXPECT_TRUE(check_finite("x", 5e-324));
  const auto bad = check_finite("mean delta", -kInf);
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().message(), "non-finite value for `mean delta`: -inf");
}

TEST(Guards, CheckedIncrementStopsAtMax) {
  EXPECT_EQ(checked_increment(kMax - 1, "mean sample").value(), kMax);
  const auto over = checked_increment(kMax, "mean sample");
  ASSERT_FALSE(over);
  EXPECT_EQ(over.error().message(), "invalid model state: mean sample counter overflow");
}

struct FeatureCase {
  std::vector<double> x;
  std::uint64_t expected;
  const char* message;  // nullptr: accepted
};

class CheckFeatures : public ::testing::TestWithParam<FeatureCase> {};

TEST_P(CheckFeatures, OrderEmptyLengthFinite) {
  const auto& c = GetParam();
  const auto status = check_features(c.x, c.expected);
  if (c.message == nullptr) {
    EXPECT_TRUE(status);
  } else {
    ASSERT_FALSE(status);
    EXPECT_EQ(status.error().message(), c.message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CheckFeatures,
    ::testing::Values(FeatureCase{{}, 3, "empty features are not allowed"},
                      FeatureCase{{1.0, kNaN}, 3, "dimension mismatch: expected 3, got 2"},
                      FeatureCase{{1.0, kNaN, kInf}, 3, "non-finite value for `feature`: NaN"},
                      FeatureCase{{-0.0, 5e-324, 1.0}, 3, nullptr}),
    test::named([](const FeatureCase& c) { return c.message ? c.message : "accepted"; }));

}  // namespace
}  // namespace drel
