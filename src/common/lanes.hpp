// The elementwise passes (a new weight, accumulator or scaler statistic per
// feature) run in blocks of lanes: an inner loop of a fixed count (two for
// the x86-64 baseline's SSE2, four for AVX2) that loads, computes and stores
// each lane. GCC's cheap cost model at -O2 does not vectorise a loop of
// unknown length, but it unrolls the fixed inner loop and packs its identical
// lanes into vector operations; Clang vectorises the plain loop anyway. Each
// lane computes exactly what a plain loop would: vector operations round lane
// by lane, and the passes neither contract nor reorder any operation. The
// finiteness bits are OR-ed per lane (the last, one-at-a-time elements have a
// word of their own), which packs the same way (over_blocks, below).
//
// Each pass is compiled twice, for the x86-64 baseline and for AVX2 (without
// FMA), and every call picks one at run time (common/vector_dispatch.hpp); both
// give the same bits, which the determinism suite checks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "common/vector_dispatch.hpp"

// The attribute of a pass's out-of-line builds. GCC packs the lanes only in a
// function whose parameters carry the no-alias promise (a pass's body takes
// them so and is inlined into these), and which is not cloned for constant
// arguments (a clone loses the promise).
#if defined(__clang__)
#define DREL_LANE_PASS [[gnu::noinline]]
#define DREL_LANE_PASS_AVX2 [[gnu::noinline, gnu::target("avx2")]]
#else
#define DREL_LANE_PASS [[gnu::noipa]]
#define DREL_LANE_PASS_AVX2 [[gnu::noipa, gnu::target("avx2")]]
#endif

namespace drel {

// The lanes of a block: a vector register's worth of doubles.
inline constexpr std::size_t kBaselineLanes = 2;
inline constexpr std::size_t kAvx2Lanes = 4;

template <std::size_t kLanes>
struct LaneBits {
  std::uint64_t lane[kLanes] = {};
  std::uint64_t last = 0;

  std::uint64_t all() const {
    std::uint64_t bits = last;
    for (std::size_t l = 0; l < kLanes; ++l) bits |= lane[l];
    return bits;
  }
};

// An elementwise pass over n elements in blocks: of kLanes, then one of half
// the lanes when it fits, then of one element. Element by element, the
// divisions and square roots of the scaler's and AdaGrad's passes cost about
// as much as for a whole block, and the divider takes a block of half the
// width in half the time. block(width, i, bits) runs elements [i, i + width)
// (width an integral_constant), OR-ing lane l's checks into bits[l]; the
// result is the OR of them all. Each pass writes its body once, in a block
// function that takes the pass's pointers as no-alias parameters of its own:
// GCC packs the lanes only where the accesses see that promise, and only
// when the body builds no aggregate from another as a whole.
template <std::size_t kLanes, class Block>
[[gnu::always_inline]] inline std::uint64_t over_blocks(std::size_t n, Block block) {
  LaneBits<kLanes> bad;
  std::size_t i = 0;
  for (; i + kLanes <= n; i += kLanes) block(std::integral_constant<std::size_t, kLanes>{}, i, bad.lane);
  constexpr std::size_t kHalf = kLanes / 2;
  if constexpr (kHalf >= 2) {
    if (i + kHalf <= n) {
      block(std::integral_constant<std::size_t, kHalf>{}, i, bad.lane);
      i += kHalf;
    }
  }
  for (; i < n; ++i) block(std::integral_constant<std::size_t, 1>{}, i, &bad.last);
  return bad.all();
}

// A pass `Pass::run<lanes>(args...)` (forced inline, its pointers no-alias)
// built for the baseline and for AVX2, the build chosen per call.
template <class Pass>
struct Dispatched {
  template <class... Args>
  DREL_LANE_PASS static auto baseline(Args... args) {
    return Pass::template run<kBaselineLanes>(args...);
  }
#if DREL_AVX2_BUILD
  template <class... Args>
  DREL_LANE_PASS_AVX2 static auto avx2(Args... args) {
    return Pass::template run<kAvx2Lanes>(args...);
  }
#endif
  template <class... Args>
  [[gnu::always_inline]] static auto run(Args... args) {
#if DREL_AVX2_BUILD
    if (use_avx2()) return avx2(args...);
#endif
    return baseline(args...);
  }
};

}  // namespace drel
