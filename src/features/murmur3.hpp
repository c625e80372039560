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
// joined, without joining them. The partial block waits in a register, so no
// block is read back from bytes just written (a read that spans several
// recent writes waits for them to reach the cache).
class Murmur3 {
 public:
  explicit Murmur3(std::uint32_t seed = 0) noexcept : h_(seed) {}

  void update(std::string_view bytes) noexcept {
    using namespace murmur3_detail;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t n = bytes.size();
    length_ += n;
    // pending_ holds pending_bits_ < 32 bits; a whole block on top fits in 64.
    for (; n >= 4; p += 4, n -= 4) {
      pending_ |= std::uint64_t{load_le32(p)} << pending_bits_;
      h_ = absorb(h_, static_cast<std::uint32_t>(pending_));
      pending_ >>= 32;
    }
    std::uint32_t tail = 0;
    switch (n) {
      case 3: tail |= std::uint32_t{p[2]} << 16; [[fallthrough]];
      case 2: tail |= std::uint32_t{p[1]} << 8; [[fallthrough]];
      case 1: tail |= p[0];
    }
    pending_ |= std::uint64_t{tail} << pending_bits_;
    pending_bits_ += 8 * static_cast<unsigned>(n);
    if (pending_bits_ >= 32) {
      h_ = absorb(h_, static_cast<std::uint32_t>(pending_));
      pending_ >>= 32;
      pending_bits_ -= 32;
    }
  }

  std::uint32_t finish() const noexcept {
    return murmur3_detail::finish(h_, static_cast<std::uint32_t>(pending_), pending_bits_ / 8,
                                  length_);
  }

 private:
  std::uint32_t h_;
  std::uint64_t pending_ = 0;  // the bytes of the partial block, little-endian
  unsigned pending_bits_ = 0;
  std::size_t length_ = 0;
};

}  // namespace drel::features

namespace drel::features {

// murmur3_32 of "name=value" (seed 0), streamed: joining the pair in a
// buffer first would read each block back from bytes just written.
inline std::uint32_t murmur3_joined(std::string_view name, std::string_view value) noexcept {
  Murmur3 stream;
  stream.update(name);
  stream.update("=");
  stream.update(value);
  return stream.finish();
}

}  // namespace drel::features
