// 32-bit MurmurHash3 (the x86_32 variant), the hash of the hashing trick: the
// same function scikit-learn's and Vowpal Wabbit's hashers use, so that a
// name lands on the same index here as there.
#pragma once

#include <cstdint>
#include <string_view>

namespace drel::features {

std::uint32_t murmur3_32(std::string_view bytes, std::uint32_t seed = 0) noexcept;

}  // namespace drel::features
