// 32-bit MurmurHash3 (the x86_32 variant), the hash of the hashing trick: the
// same function scikit-learn's and Vowpal Wabbit's hashers use, so that a
// name lands on the same index here as there.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace drel::features {

namespace murmur3_detail {

inline constexpr std::uint32_t kC1 = 0xcc9e2d51u;
inline constexpr std::uint32_t kC2 = 0x1b873593u;

inline std::uint32_t mix_block(std::uint32_t k) noexcept {
  k *= kC1;
  k = std::rotl(k, 15);
  return k * kC2;
}

inline std::uint32_t absorb(std::uint32_t h, std::uint32_t block) noexcept {
  h ^= mix_block(block);
  h = std::rotl(h, 13);
  return h * 5 + 0xe6546b64u;
}

inline std::uint32_t load_le32(const unsigned char* p) noexcept {
  std::uint32_t k;
  std::memcpy(&k, p, sizeof k);
  if constexpr (std::endian::native == std::endian::big) k = std::byteswap(k);
  return k;
}

// The tail's bytes (fewer than 4, little-endian in `tail`) and the length,
// which enters modulo 2^32 as the reference's int length does.
inline std::uint32_t finish(std::uint32_t h, std::uint32_t tail, std::size_t tail_bytes,
                            std::size_t length) noexcept {
  if (tail_bytes != 0) h ^= mix_block(tail);
  h ^= static_cast<std::uint32_t>(length);
  h ^= h >> 16;
  h *= 0x85ebca6bu;
  h ^= h >> 13;
  h *= 0xc2b2ae35u;
  h ^= h >> 16;
  return h;
}

}  // namespace murmur3_detail

inline std::uint32_t murmur3_32(std::string_view bytes, std::uint32_t seed = 0) noexcept {
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

// The same hash of bytes that arrive in pieces: murmur3_32 of the pieces
// joined, without joining them.
class Murmur3 {
 public:
  explicit Murmur3(std::uint32_t seed = 0) noexcept : h_(seed) {}

  void update(std::string_view bytes) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t n = bytes.size();
    length_ += n;
    while (pending_ != 0 && n != 0) take(*p++), --n;
    for (; n >= 4; p += 4, n -= 4) h_ = murmur3_detail::absorb(h_, murmur3_detail::load_le32(p));
    while (n != 0) take(*p++), --n;
  }

  std::uint32_t finish() const noexcept {
    return murmur3_detail::finish(h_, tail_, pending_, length_);
  }

 private:
  // One byte into the partial block, absorbed once it has four.
  void take(unsigned char byte) noexcept {
    tail_ |= std::uint32_t{byte} << (8 * pending_);
    if (++pending_ == 4) {
      h_ = murmur3_detail::absorb(h_, tail_);
      tail_ = 0;
      pending_ = 0;
    }
  }

  std::uint32_t h_;
  std::uint32_t tail_ = 0;
  std::size_t pending_ = 0;
  std::size_t length_ = 0;
};

}  // namespace drel::features

namespace drel::features {

// murmur3_32 of "name=value" (seed 0). The usual short pair is joined in a
// stack buffer, where one pass over whole blocks is quickest; a longer one is
// streamed.
inline std::uint32_t murmur3_joined(std::string_view name, std::string_view value) noexcept {
  constexpr std::size_t kStackBytes = 128;
  if (name.size() + value.size() < kStackBytes) [[likely]] {
    char joined[kStackBytes];
    std::memcpy(joined, name.data(), name.size());
    joined[name.size()] = '=';
    std::memcpy(joined + name.size() + 1, value.data(), value.size());
    return murmur3_32({joined, name.size() + 1 + value.size()});
  }
  Murmur3 stream;
  stream.update(name);
  stream.update("=");
  stream.update(value);
  return stream.finish();
}

}  // namespace drel::features
