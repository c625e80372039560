// Writes two seed files per sample record, its snapshot text and its binary state: usage `snapshot_fuzz_seeds DIR`.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "snapshot/binary_state.hpp"
#include "snapshot/snapshot.hpp"
#include "snapshot_samples.hpp"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  const std::filesystem::path dir(argv[1]);
  std::filesystem::create_directories(dir);
  int written = 0;
  drel::samples::for_each_sample([&](const char* name, const auto& record) {
    std::string file = name;
    for (char& c : file) c = c == ' ' ? '_' : c;
    std::ofstream(dir / (file + ".json"), std::ios::binary) << drel::to_snapshot_json(record);
    std::ofstream(dir / (file + ".bin"), std::ios::binary) << drel::to_binary_state(record);
    written += 2;
  });
  std::printf("%d seeds in %s\n", written, dir.c_str());
  return 0;
}
