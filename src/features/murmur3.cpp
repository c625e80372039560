#include "features/murmur3.hpp"

#include <bit>
#include <cstring>

namespace drel::features {
namespace {

constexpr std::uint32_t kC1 = 0xcc9e2d51u;
constexpr std::uint32_t kC2 = 0x1b873593u;

std::uint32_t mix_block(std::uint32_t k) noexcept {
  k *= kC1;
  k = std::rotl(k, 15);
  return k * kC2;
}

std::uint32_t load_le32(const char* p) noexcept {
  std::uint32_t k;
  std::memcpy(&k, p, sizeof k);
  if constexpr (std::endian::native == std::endian::big) k = std::byteswap(k);
  return k;
}

}  // namespace

std::uint32_t murmur3_32(std::string_view bytes, std::uint32_t seed) noexcept {
  const char* data = bytes.data();
  const std::size_t length = bytes.size();
  const std::size_t blocks = length / 4;
  std::uint32_t h = seed;
  for (std::size_t i = 0; i < blocks; ++i) {
    h ^= mix_block(load_le32(data + 4 * i));
    h = std::rotl(h, 13);
    h = h * 5 + 0xe6546b64u;
  }
  const auto* tail = reinterpret_cast<const unsigned char*>(data + 4 * blocks);
  std::uint32_t k = 0;
  switch (length & 3) {
    case 3: k ^= std::uint32_t{tail[2]} << 16; [[fallthrough]];
    case 2: k ^= std::uint32_t{tail[1]} << 8; [[fallthrough]];
    case 1:
      k ^= tail[0];
      h ^= mix_block(k);
  }
  // The length enters modulo 2^32, as the reference's int length does.
  h ^= static_cast<std::uint32_t>(length);
  h ^= h >> 16;
  h *= 0x85ebca6bu;
  h ^= h >> 13;
  h *= 0xc2b2ae35u;
  h ^= h >> 16;
  return h;
}

}  // namespace drel::features
