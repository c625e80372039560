#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>

#include "snapshot/json_cursor.hpp"
#include "snapshot/number_text.hpp"
#include "snapshot/snapshot.hpp"
#include "case_names.hpp"
#include "snapshot_samples.hpp"

namespace drel {
namespace {

using snapshot::NumberText;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct NumberRow {
  double value;
  const char* text;
};

class SnapshotNumberRule : public ::testing::TestWithParam<NumberRow> {};

TEST_P(SnapshotNumberRule, WritesTheTableText) {
  EXPECT_EQ(NumberText::real(GetParam().value).view(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    SnapshotTable, SnapshotNumberRule,
    ::testing::Values(NumberRow{0.0, "0.0"}, NumberRow{-0.0, "-0.0"}, NumberRow{0.5, "0.5"},
                      NumberRow{0.00001, "0.00001"}, NumberRow{0.000015, "0.000015"},
                      NumberRow{0.000001, "1e-6"}, NumberRow{1.5e-7, "1.5e-7"},
                      NumberRow{1e-12, "1e-12"}, NumberRow{3.0, "3.0"},
                      NumberRow{12.375, "12.375"}, NumberRow{-2.5, "-2.5"},
                      NumberRow{100.0, "100.0"}, NumberRow{1e15, "1000000000000000.0"},
                      NumberRow{1e16, "1e+16"}, NumberRow{0.1 + 0.2, "0.30000000000000004"},
                      NumberRow{samples::kMaxDouble, "1.7976931348623157e+308"},
                      NumberRow{-samples::kMaxDouble, "-1.7976931348623157e+308"},
                      NumberRow{samples::kMinSubnormal, "5e-324"},
                      NumberRow{123456789012345680.0, "1.2345678901234568e+17"},
                      NumberRow{1234567.125, "1234567.125"}, NumberRow{-0.00012, "-0.00012"},
                      NumberRow{kNaN, "null"}, NumberRow{-kNaN, "null"},
                      NumberRow{kInf, "null"}, NumberRow{-kInf, "null"}),
    test::indexed([](const NumberRow& row) { return std::string(row.text); }));

TEST(SnapshotWriter, FreshMeanIsTheFiftyOneCharacterDocument) {
  const std::string text = to_snapshot_json(Mean{});
  EXPECT_EQ(text, R"({"format_version":1,"model":{"count":0,"mean":0.0}})");
  EXPECT_EQ(text.size(), 51u);
}

TEST(SnapshotWriter, FreshLinearRegressionDocument) {
  EXPECT_EQ(to_snapshot_json(samples::fresh_linear(2, 0.01)),
            R"({"format_version":1,"model":{"feature_count":2,"weights":[0.0,0.0],)"
            R"("intercept":0.0,"optimizer":{"Sgd":{"feature_count":2,"config":)"
            R"({"learning_rate":0.01,"l2":0.0},"samples_seen":0}},"loss":"SquaredError",)"
            R"("samples_seen":0}})");
}

TEST(SnapshotWriter, WritesTheEnvelopeVersionItIsGiven) {
  EXPECT_EQ(write_snapshot(Snapshot<Mean>{7, Mean{2, -0.0}}),
            R"({"format_version":7,"model":{"count":2,"mean":-0.0}})");
}

struct DocumentRow {
  const char* name;
  std::string text;
  const char* expected;
};

class SnapshotWriterDocuments : public ::testing::TestWithParam<DocumentRow> {};

TEST_P(SnapshotWriterDocuments, MatchesByteForByte) {
  EXPECT_EQ(GetParam().text, GetParam().expected);
}

AdaGrad small_adagrad() { return AdaGrad{1, {0.1, 0.0, 1e-8}, {2.5}, 0.75, 3}; }

INSTANTIATE_TEST_SUITE_P(
    SnapshotUnions, SnapshotWriterDocuments,
    ::testing::Values(
        DocumentRow{"population", to_snapshot_json(Variance{}),
                    R"({"format_version":1,"model":{"count":0,"mean":0.0,"m2":0.0,)"
                    R"("kind":"Population"}})"},
        DocumentRow{"sample", to_snapshot_json(Variance{2, 1.5, 0.5, VarianceKind::Sample}),
                    R"({"format_version":1,"model":{"count":2,"mean":1.5,"m2":0.5,)"
                    R"("kind":"Sample"}})"},
        DocumentRow{"huber_adagrad",
                    to_snapshot_json(LinearRegression{1, {kNaN}, kInf, Optimizer{small_adagrad()},
                                                      RegressionLoss{HuberLoss{1.35}}, 3}),
                    R"({"format_version":1,"model":{"feature_count":1,"weights":[null],)"
                    R"("intercept":null,"optimizer":{"AdaGrad":{"feature_count":1,"config":)"
                    R"({"learning_rate":0.1,"l2":0.0,"epsilon":1e-8},"grad_sq_weights":[2.5],)"
                    R"("grad_sq_intercept":0.75,"samples_seen":3}},"loss":{"Huber":)"
                    R"({"delta":1.35}},"samples_seen":3}})"},
        DocumentRow{"logistic_empty_lists",
                    to_snapshot_json(LogisticRegression{0, {}, 0.0, samples::sgd(0, 0.5, 0.25),
                                                        BinaryLogLoss{}, 0}),
                    R"({"format_version":1,"model":{"feature_count":0,"weights":[],)"
                    R"("intercept":0.0,"optimizer":{"Sgd":{"feature_count":0,"config":)"
                    R"({"learning_rate":0.5,"l2":0.25},"samples_seen":0}},"loss":)"
                    R"({"epsilon":1e-15},"samples_seen":0}})"},
        DocumentRow{"scaler_default_config", to_snapshot_json(samples::fresh_scaler(1)),
                    R"({"format_version":1,"model":{"feature_count":1,"config":)"
                    R"({"with_mean":true,"with_std":true,"epsilon":1e-12},"counts":[0],)"
                    R"("means":[0.0],"m2s":[0.0]}})"},
        DocumentRow{"pipeline_transformer_first",
                    to_snapshot_json(RegressionPipeline{
                        StandardScalerState{1, {false, false, 0.0}, {18446744073709551615u},
                                            {1e300}, {2.0}},
                        samples::fresh_linear(1, 1.0)}),
                    R"({"format_version":1,"model":{"transformer":{"feature_count":1,"config":)"
                    R"({"with_mean":false,"with_std":false,"epsilon":0.0},)"
                    R"("counts":[18446744073709551615],"means":[1e+300],"m2s":[2.0]},)"
                    R"("model":{"feature_count":1,"weights":[0.0],"intercept":0.0,"optimizer":)"
                    R"({"Sgd":{"feature_count":1,"config":{"learning_rate":1.0,"l2":0.0},)"
                    R"("samples_seen":0}},"loss":"SquaredError","samples_seen":0}}})"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SnapshotWriter, NoWhitespaceInAnySample) {
  samples::for_each_sample([](const char* name, const auto& record) {
    const std::string text = to_snapshot_json(record);
    EXPECT_EQ(text.find_first_of(" \t\r\n"), std::string::npos) << name;
  });
}

// The caller-buffer form writes the same bytes within the room it asks for,
// also when every real takes its longest text and every counter its widest.
template <class Record>
void expect_same_text_within_room(const char* name, const Record& record) {
  const std::size_t room = snapshot_json_room(record);
  // Bytes past the text may be used while writing; a guard after the room
  // catches any write beyond it.
  std::string buffer(room + 64, '#');
  const char* end = write_snapshot_json(record, buffer.data());
  const auto size = static_cast<std::size_t>(end - buffer.data());
  EXPECT_LE(size, room) << name;
  EXPECT_EQ(buffer.substr(0, size), to_snapshot_json(record)) << name;
  EXPECT_EQ(buffer.substr(room), std::string(64, '#')) << name;
}

TEST(SnapshotWriter, CallerBufferMatchesTheStringForm) {
  samples::for_each_sample(
      [](const char* name, const auto& record) { expect_same_text_within_room(name, record); });
  for (const double widest : {-samples::kMaxDouble, -0.00001234567890123456, -1.2345678901234567e-300}) {
    LinearRegression model = samples::fresh_linear(64, widest);
    model.weights.assign(64, widest);
    model.intercept = widest;
    model.samples_seen = std::numeric_limits<std::uint64_t>::max();
    AdaGrad adagrad{64, {widest, widest, widest}, std::vector<double>(64, widest), widest,
                    std::numeric_limits<std::uint64_t>::max()};
    model.optimizer = Optimizer{adagrad};
    model.loss = RegressionLoss{HuberLoss{widest}};
    expect_same_text_within_room("widest linear", model);
  }
}

// ---- The number rule over random doubles --------------------------------

// Decimal exponent of the first significant digit, read back from the text.
int leading_exponent(std::string_view text) {
  if (text.front() == '-') text.remove_prefix(1);
  const auto e = text.find('e');
  if (e != std::string_view::npos) return std::atoi(std::string(text.substr(e + 1)).c_str());
  const auto point = text.find('.');
  const auto first = text.find_first_of("123456789");
  return first < point ? static_cast<int>(point - first - 1) : -static_cast<int>(first - point);
}

// What the rule fixes about the layout, checked without the writer's code.
void expect_follows_number_rule(double x, std::string_view text) {
  ASSERT_FALSE(text.empty());
  if (x == 0.0) {
    EXPECT_EQ(text, std::signbit(x) ? "-0.0" : "0.0");
    return;
  }
  EXPECT_LE(text.size(), 24u);
  EXPECT_EQ(text.front() == '-', std::signbit(x)) << text;
  char shortest[32];
  const auto r = std::to_chars(shortest, shortest + sizeof shortest, x, std::chars_format::scientific);
  std::string_view reference(shortest, static_cast<std::size_t>(r.ptr - shortest));
  const int exponent = std::atoi(std::string(reference.substr(reference.find('e') + 1)).c_str());
  const bool exponential = text.find('e') != std::string_view::npos;
  EXPECT_EQ(exponential, exponent < -5 || exponent > 15) << text;
  EXPECT_EQ(leading_exponent(text), exponent) << text;
  if (exponential) {
    const char sign = text[text.find('e') + 1];
    EXPECT_TRUE(sign == '+' || sign == '-') << text;
    const auto mantissa = text.substr(0, text.find('e'));
    EXPECT_NE(mantissa.back(), '0') << text;
    EXPECT_NE(mantissa.back(), '.') << text;
  } else {
    const auto point = text.find('.');
    ASSERT_NE(point, std::string_view::npos) << text;
    EXPECT_LT(point + 1, text.size()) << text;
    if (text.back() == '0') {
      EXPECT_EQ(text.substr(point), ".0") << text;
    }
  }
  // Same significant digits as the shortest round-trip form.
  std::string digits, reference_digits;
  for (char c : text.substr(0, text.find('e'))) {
    if (c >= '0' && c <= '9') digits += c;
  }
  for (char c : reference.substr(0, reference.find('e'))) {
    if (c >= '0' && c <= '9') reference_digits += c;
  }
  const auto trim = [](std::string& s) {
    s.erase(0, s.find_first_not_of('0'));
    s.erase(s.find_last_not_of('0') + 1);
  };
  trim(digits);
  trim(reference_digits);
  EXPECT_EQ(digits, reference_digits) << text;
  // An independent correctly rounded reading gives x back.
  EXPECT_TRUE(samples::identical(std::strtod(std::string(text).c_str(), nullptr), x)) << text;
}

double read_back(std::string_view text) {
  snapshot::JsonCursor in(text);
  const auto n = in.number();
  if (!n) ADD_FAILURE() << text << ": " << n.error().text;
  return n ? std::get<double>(*n) : 0.0;
}

TEST(SnapshotNumberProperty, RandomDoublesFollowTheRuleAndReadBackExactly) {
  std::mt19937_64 rng(20240611);
  std::uniform_int_distribution<int> decimal_exponent(-330, 310);
  std::uniform_int_distribution<std::uint64_t> small_mantissa(1, 99999);
  for (int i = 0; i < 1'500'000 && !HasFailure(); ++i) {
    double x;
    switch (i % 4) {
      case 0:
      case 1:  // every bit pattern: all binary exponents, subnormals included
        x = std::bit_cast<double>(rng());
        break;
      case 2:  // short decimals around every decimal exponent
        x = static_cast<double>(small_mantissa(rng)) *
            std::pow(10.0, decimal_exponent(rng));
        break;
      default:  // subnormals and the values next to powers of ten
        x = (rng() & 1) ? std::bit_cast<double>(rng() & 0x000FFFFFFFFFFFFFull)
                        : std::nextafter(std::pow(10.0, decimal_exponent(rng) % 20),
                                         (rng() & 1) ? kInf : 0.0);
    }
    if (!std::isfinite(x)) continue;
    const NumberText text = NumberText::real(x);
    expect_follows_number_rule(x, text.view());
    EXPECT_TRUE(samples::identical(read_back(text.view()), x)) << text.view();
  }
}

TEST(SnapshotNumberProperty, ZerosAndExtremesReadBackWithTheirBits) {
  for (double x : {0.0, -0.0, samples::kMinSubnormal, -samples::kMinSubnormal,
                   std::numeric_limits<double>::min(), samples::kMaxDouble,
                   -samples::kMaxDouble}) {
    const NumberText text = NumberText::real(x);
    expect_follows_number_rule(x, text.view());
    EXPECT_TRUE(samples::identical(read_back(text.view()), x)) << text.view();
  }
}

}  // namespace
}  // namespace drel
