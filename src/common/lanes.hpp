// Finiteness bits accumulated in two lanes. GCC's cheap cost model at -O2
// does not vectorise a loop of unknown length, but it does pair two identical
// statements of one iteration into one vector operation. The passes that
// check a vector's worth of new values therefore handle two elements per
// iteration, loading both before storing either, and OR their bits into
// these two lanes, which pair the same way (the odd last element has its own
// word, which keeps the pair intact). Each lane computes exactly what a plain
// loop would: vector operations round lane by lane.
#pragma once

#include <cstdint>

// The attribute of such a pass. GCC pairs the lanes only in a function whose
// own parameters carry the no-alias promise, so the pass stays out of line,
// and must not be cloned for constant arguments either (a clone loses the
// promise). Clang vectorises the plain loop anyway.
#if defined(__clang__)
#define DREL_LANE_PASS [[gnu::noinline]]
#else
#define DREL_LANE_PASS [[gnu::noipa]]
#endif

namespace drel {

struct LaneBits {
  std::uint64_t pair[2] = {0, 0};
  std::uint64_t last = 0;

  std::uint64_t all() const { return pair[0] | pair[1] | last; }
};

}  // namespace drel
