// Feeds every input to the loader of every record type, as snapshot text and
// as a binary state. Whatever it is, each reader must return; whatever the text
// reader accepts must come back from its own snapshot bit for bit, with the
// same text; whatever the binary reader accepts must write back to the very
// same bytes and be accepted by the text reader too (the two forms share their
// rules).

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "snapshot/binary_state.hpp"
#include "snapshot/json_cursor.hpp"
#include "snapshot/snapshot.hpp"
#include "stateful_classes.hpp"
#include "snapshot_samples.hpp"

namespace {

[[noreturn]] void fault(const char* what, std::string_view detail) {
  std::fprintf(stderr, "%s: %.*s\n", what, static_cast<int>(detail.size()), detail.data());
  std::abort();
}

template <class Record>
void check(std::string_view text) {
  const auto loaded = drel::load_snapshot<Record>(text);
  if (!loaded) {
    const std::string message = loaded.error().message();
    if (message.empty()) fault("empty load message", text);
    return;
  }
  const std::string written = drel::to_snapshot_json(*loaded);
  const auto again = drel::load_snapshot<Record>(written);
  if (!again) fault("own snapshot refused", again.error().message() + "\n" + written);
  if (!drel::samples::identical(*loaded, *again)) fault("own snapshot differs", written);
  if (drel::to_snapshot_json(*again) != written) fault("second snapshot differs", written);
}

template <class Record>
void check_binary(std::span<const unsigned char> bytes) {
  const auto loaded = drel::load_binary_state<Record>(bytes);
  if (!loaded) {
    if (loaded.error().message().empty()) fault("empty binary load message", "");
    return;
  }
  const std::string written = drel::to_binary_state(*loaded);
  if (written.size() != bytes.size() ||
      std::memcmp(written.data(), bytes.data(), bytes.size()) != 0) {
    fault("binary state writes back differently", drel::to_snapshot_json(*loaded));
  }
  const auto through_text = drel::load_snapshot<Record>(drel::to_snapshot_json(*loaded));
  if (!through_text) fault("binary state refused as text", through_text.error().message());
  if (!drel::samples::identical(*through_text, *loaded)) fault("text form differs", written);
}

// The reader's one-scan number path against its general one: same value bits,
// same bytes consumed, same failure.
void check_number(std::string_view text) {
  drel::snapshot::JsonCursor direct(text);
  drel::snapshot::JsonCursor general(text);
  if (direct.peek() != '-' && (direct.peek() < '0' || direct.peek() > '9')) return;
  general.peek();
  const auto fast = direct.real();
  const auto slow = general.number();
  if (fast.has_value() != slow.has_value()) fault("number paths disagree on failure", text);
  if (!fast) {
    if (fast.error().text != slow.error().text || fast.error().consumed != slow.error().consumed) {
      fault("number paths fail differently", text);
    }
    return;
  }
  const double value = std::visit([](auto v) { return static_cast<double>(v); }, *slow);
  if (std::bit_cast<std::uint64_t>(*fast) != std::bit_cast<std::uint64_t>(value) ||
      direct.consumed() != general.consumed()) {
    fault("number paths read differently", text);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
#define DREL_FUZZ_CHECK(Record, Name) check<drel::Record>(text);
  DREL_STATEFUL_CLASSES(DREL_FUZZ_CHECK)
#undef DREL_FUZZ_CHECK
  const std::span<const unsigned char> bytes(data, size);
#define DREL_FUZZ_CHECK_BINARY(Record, Name) check_binary<drel::Record>(bytes);
  DREL_STATEFUL_CLASSES(DREL_FUZZ_CHECK_BINARY)
#undef DREL_FUZZ_CHECK_BINARY
  check_number(text);
  // The same bytes as a value the reader has to skip.
  check<drel::Mean>(R"({"format_version":1,"skipped":)" + std::string(text) +
                    R"(,"model":{"count":0,"mean":0.0}})");
  return 0;
}
