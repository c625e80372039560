// Feeds every input to the loader of every record type. Whatever it is, the
// reader must return; and whatever it accepts must come back from its own
// snapshot bit for bit, with the same text.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "snapshot/snapshot.hpp"
#include "snapshot/top_level_records.hpp"
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
#define DREL_FUZZ_CHECK(Record) check<drel::Record>(text);
  DREL_SNAPSHOT_TOP_LEVEL_RECORDS(DREL_FUZZ_CHECK)
#undef DREL_FUZZ_CHECK
  // The same bytes as a value the reader has to skip.
  check<drel::Mean>(R"({"format_version":1,"skipped":)" + std::string(text) +
                    R"(,"model":{"count":0,"mean":0.0}})");
  return 0;
}
