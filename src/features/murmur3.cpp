#include "features/murmur3.hpp"

namespace drel::features {

std::uint32_t murmur3_32(std::string_view bytes, std::uint32_t seed) noexcept {
  using namespace murmur3_detail;
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t length = bytes.size();
  const std::size_t blocks = length / 4;
  std::uint32_t h = seed;
  for (std::size_t i = 0; i < blocks; ++i) h = absorb(h, load_le32(data + 4 * i));
  const unsigned char* tail = data + 4 * blocks;
  std::uint32_t k = 0;
  switch (length & 3) {
    case 3: k ^= std::uint32_t{tail[2]} << 16; [[fallthrough]];
    case 2: k ^= std::uint32_t{tail[1]} << 8; [[fallthrough]];
    case 1: k ^= tail[0];
  }
  return finish(h, k, length & 3, length);
}

}  // namespace drel::features
