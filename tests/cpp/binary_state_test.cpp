// The binary state against the snapshot text: the same records come back bit
// for bit, and every damaged byte string is either refused with a message or
// read as a state the text reader accepts too.

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "snapshot/binary_state.hpp"
#include "snapshot_samples.hpp"

namespace drel {
namespace {

std::span<const unsigned char> as_bytes(const std::string& s) {
  return {reinterpret_cast<const unsigned char*>(s.data()), s.size()};
}

// Whatever the reader makes of `bytes`: a refusal with a message, or a state
// that writes back to exactly these bytes and that the text reader takes too.
template <class Record>
void expect_refused_or_faithful(const std::string& bytes, const char* sample) {
  const auto loaded = load_binary_state<Record>(as_bytes(bytes));
  if (!loaded) {
    EXPECT_FALSE(loaded.error().message().empty()) << sample;
    return;
  }
  EXPECT_EQ(to_binary_state(*loaded), bytes) << sample;
  const auto through_text = load_snapshot<Record>(to_snapshot_json(*loaded));
  ASSERT_TRUE(through_text.has_value()) << sample << ": " << through_text.error().message();
  EXPECT_TRUE(samples::identical(*through_text, *loaded)) << sample;
}

TEST(BinaryState, EverySampleComesBackBitForBit) {
  samples::for_each_sample([](const char* name, const auto& record) {
    using Record = std::remove_cvref_t<decltype(record)>;
    const std::string bytes = to_binary_state(record);
    EXPECT_EQ(bytes.size(), binary_state_size(record)) << name;
    const auto loaded = load_binary_state<Record>(as_bytes(bytes));
    ASSERT_TRUE(loaded.has_value()) << name << ": " << loaded.error().message();
    EXPECT_TRUE(samples::identical(*loaded, record)) << name;
    EXPECT_EQ(to_snapshot_json(*loaded), to_snapshot_json(record)) << name;
  });
}

TEST(BinaryState, LayoutIsLittleEndianRawValues) {
  const std::string bytes = to_binary_state(Mean{2, 1.5});
  const std::string expected{"DRLB\x01\x00"                  // magic, layout version, kind 0
                             "\x00\x00\x00\x00\x00\x00"              // reserved
                             "\x01\x00\x00\x00"                  // format_version
                             "\x02\x00\x00\x00\x00\x00\x00\x00"  // count
                             "\x00\x00\x00\x00\x00\x00\xf8\x3f",  // mean 1.5
                             12 + 4 + 8 + 8};
  EXPECT_EQ(bytes, expected);
  EXPECT_EQ(binary_state_kind<ClassificationPipeline>, 7);
}

TEST(BinaryState, EveryTruncationAndByteFlipIsRefusedOrFaithful) {
  samples::for_each_sample([](const char* name, const auto& record) {
    using Record = std::remove_cvref_t<decltype(record)>;
    const std::string bytes = to_binary_state(record);
    for (std::size_t length = 0; length < bytes.size(); ++length) {
      const auto cut = load_binary_state<Record>(as_bytes(bytes.substr(0, length)));
      ASSERT_FALSE(cut.has_value()) << name << " cut to " << length;
      EXPECT_FALSE(cut.error().message().empty());
    }
    for (std::size_t at = 0; at < bytes.size(); ++at) {
      for (int bit = 0; bit < 8; ++bit) {
        std::string flipped = bytes;
        flipped[at] = static_cast<char>(flipped[at] ^ (1 << bit));
        expect_refused_or_faithful<Record>(flipped, name);
      }
    }
    expect_refused_or_faithful<Record>(bytes + '\0', name);
  });
}

// What the text reader cannot be given (a non-finite real is written as
// null, which it refuses) or refuses, the binary reader refuses too.
TEST(BinaryState, RefusesWhatTheTextReaderRefuses) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  const auto refused_by_both = [](const auto& record, const char* what) -> std::string {
    using Record = std::remove_cvref_t<decltype(record)>;
    EXPECT_FALSE(load_snapshot<Record>(to_snapshot_json(record)).has_value()) << what;
    const auto loaded = load_binary_state<Record>(as_bytes(to_binary_state(record)));
    EXPECT_FALSE(loaded.has_value()) << what;
    return loaded ? std::string() : loaded.error().message();
  };
  EXPECT_NE(refused_by_both(Mean{1, kInf}, "infinite mean").find("`mean`"), std::string::npos);
  refused_by_both(Mean{1, std::numeric_limits<double>::quiet_NaN()}, "NaN mean");
  LinearRegression diverged = samples::fresh_linear(3, 0.1);
  diverged.weights[2] = -kInf;
  EXPECT_NE(refused_by_both(diverged, "infinite weight").find("`weights`"), std::string::npos);
  StandardScalerState unsynced = samples::fitted_scaler();
  unsynced.counts[1] = 3;
  EXPECT_NE(refused_by_both(unsynced, "unsynchronized counts").find("synchronized"),
            std::string::npos);
  StandardScalerState short_means = samples::fitted_scaler();
  short_means.means.pop_back();
  refused_by_both(RegressionPipeline{short_means, samples::fresh_linear(3, 0.1)},
                  "scaler lengths inside a pipeline");
  StandardScalerState negative_epsilon = samples::fresh_scaler(2);
  negative_epsilon.config.epsilon = -1.0;
  refused_by_both(negative_epsilon, "negative epsilon");
}

TEST(BinaryState, RefusesBadHeadersKindsAndVersions) {
  const std::string mean = to_binary_state(Mean{3, 0.25});
  const auto message = [](const std::string& bytes) {
    const auto loaded = load_binary_state<Mean>(as_bytes(bytes));
    return loaded ? std::string("accepted") : loaded.error().message();
  };
  EXPECT_NE(message("DRLX" + mean.substr(4)).find("no state header"), std::string::npos);
  std::string later_layout = mean;
  later_layout[4] = 2;
  EXPECT_NE(message(later_layout).find("layout version 2"), std::string::npos);
  EXPECT_NE(message(to_binary_state(Variance{})).find("not Mean"), std::string::npos);
  std::string reserved = mean;
  reserved[9] = 1;
  EXPECT_NE(message(reserved).find("reserved"), std::string::npos);
  std::string later_format = mean;
  later_format[12] = 2;
  EXPECT_NE(message(later_format).find("version"), std::string::npos);
  EXPECT_NE(message(mean + "xy").find("2 bytes after the end"), std::string::npos);
  // A list length larger than the input is refused before anything is allocated.
  std::string huge = to_binary_state(samples::fresh_linear(1, 0.1));
  const std::size_t count_at = 12 + 4 + 8;  // header, format_version, feature_count
  for (std::size_t i = 0; i < 8; ++i) huge[count_at + i] = '\xff';
  const auto loaded = load_binary_state<LinearRegression>(as_bytes(huge));
  ASSERT_FALSE(loaded.has_value());
  EXPECT_NE(loaded.error().message().find("cut short"), std::string::npos);
}

}  // namespace
}  // namespace drel
