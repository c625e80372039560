// Which build of the elementwise passes (common/lanes.hpp) runs: AVX2 where
// the processor has it, else the x86-64 baseline. Both compute the same bits;
// the choice only changes how many lanes an instruction holds.
//
// It rests on two compiler features, GCC's and Clang's on x86-64 only
// (elsewhere every pass runs its one portable build): the `target` attribute
// that compiles one function for AVX2 (lanes.hpp's DREL_LANE_PASS_AVX2, under
// DREL_AVX2_BUILD below), and the processor check, which is with the core's
// other compiler builtins in common/machine.hpp.
//
// The environment variable DREL_ML_VECTOR=baseline forces the baseline build,
// so that the determinism suite can compare the two in one binary.
#pragma once

#include "common/machine.hpp"

#if defined(__x86_64__) && DREL_GNU_EXTENSIONS && !defined(DREL_NO_AVX2_BUILD)
#define DREL_AVX2_BUILD 1
#else
#define DREL_AVX2_BUILD 0
#endif

namespace drel {

// Decided once, when the library loads (false until then: the baseline).
extern const bool kUseAvx2;

inline bool use_avx2() { return kUseAvx2; }

// "avx2" or "baseline": what the passes run with in this process.
const char* vector_build_name();

}  // namespace drel
