// `condition ? a : b` computed over the bits with a mask: no branch depends
// on the condition (a sign that is as often one way as the other would
// mispredict), and in a pass of lanes (common/lanes.hpp) it packs into vector
// operations, which a branch would prevent. The value chosen is a or b
// exactly, as the conditional expression would choose it.
#pragma once

#include <bit>
#include <cstdint>

namespace drel {

[[gnu::always_inline]] inline double select(bool condition, double a, double b) {
  const std::uint64_t take_a = std::uint64_t{0} - std::uint64_t{condition};
  return std::bit_cast<double>((std::bit_cast<std::uint64_t>(a) & take_a) |
                               (std::bit_cast<std::uint64_t>(b) & ~take_a));
}

}  // namespace drel
