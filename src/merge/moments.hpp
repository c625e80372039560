// The (count, mean, M2) moments of a stream, and the two operations merging
// needs on them: combining the moments of two disjoint parts of a stream, and
// taking the moments of a leading part back out of those of the whole.
#pragma once

#include <cstdint>

#include "error/error.hpp"

namespace drel {

struct Moments {
  std::uint64_t count = 0;
  double mean = 0.0;
  double m2 = 0.0;
};

// The names an object reports its quantities under, as its own update does.
struct MomentNames {
  const char* sample;  // "{sample} counter overflow"
  const char* delta;
  const char* mean;
  const char* m2;  // null for a mean alone: M2 is then neither computed nor checked
};

// The moments of both parts together (the parallel update): an empty part
// gives the other part bit for bit.
[[nodiscard]] Result<Moments> combine(const Moments& a, const Moments& b, const MomentNames& names);

// The moments of what `whole` saw after `part`, when `whole` began as `part`.
// The remainder's M2 is clamped at 0, the one place rounding could take it below.
[[nodiscard]] Result<Moments> remove_part(const Moments& whole, const Moments& part,
                                          const MomentNames& names);

}  // namespace drel
