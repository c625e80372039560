// The public JSON parsing corpus, each file placed as the value of a key the
// Mean record does not know, so the reader must skip it: y_ files must load,
// n_ files must be refused, and i_ files must simply come back either way.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "snapshot/snapshot.hpp"
#include "stats/mean.hpp"

namespace drel {
namespace {

namespace fs = std::filesystem;

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<fs::path> corpus_files() {
  std::vector<fs::path> files;
  const fs::path dir(DREL_JSON_CORPUS_DIR);
  if (!fs::is_directory(dir)) return files;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.path().extension() == ".json") files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

TEST(JsonConformance, CorpusAsSkippedValue) {
  const std::vector<fs::path> files = corpus_files();
  if (files.empty()) {
    GTEST_SKIP() << "the JSON parsing corpus is not at " << DREL_JSON_CORPUS_DIR
                 << " (CI places it beside the checkout; a plain clone has none)";
  }
  int accepted = 0;
  int refused = 0;
  for (const fs::path& path : files) {
    const std::string name = path.filename().string();
    const std::string document = R"({"format_version":1,"ignored":)" + read_file(path) +
                                 R"(,"model":{"count":0,"mean":0.0}})";
    const auto loaded = load_snapshot<Mean>(document);
    if (name.starts_with("y_")) {
      EXPECT_TRUE(loaded) << name << ": " << loaded.error().message();
      ++accepted;
    } else if (name.starts_with("n_")) {
      // Refused by the reader, never by the version check.
      EXPECT_TRUE(!loaded && loaded.error().has_position()) << name;
      ++refused;
    }
  }
  EXPECT_GT(accepted, 90);
  EXPECT_GT(refused, 180);
}

}  // namespace
}  // namespace drel
