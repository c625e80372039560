// The seam between the core's standard C++ and the compiler builtins and
// types it uses for speed, kept here alone: cache hints, small vectors of
// lanes, and the processor check behind common/vector_dispatch.hpp. Each is a
// forced-inline wrapper over the GCC/Clang builtin or type, so the code that
// uses it compiles to the same instructions as the builtin itself.
//
// A header of its own rather than part of common/vector_dispatch.hpp: that
// one decides at run time which build of the elementwise passes runs, while
// these are plain compile-time tools that the hot loops of the core and the
// binding (which never dispatch) include.
#pragma once

#include <cstdint>

#if defined(__GNUC__) || defined(__clang__)
#define DREL_GNU_EXTENSIONS 1
#else
#define DREL_GNU_EXTENSIONS 0
#endif

namespace drel {

// Asks for the cache line holding `p`, to be read soon and kept. A hint only:
// it changes no result and never faults, wherever `p` points; a compiler
// without the builtin drops it.
[[gnu::always_inline]] inline void prefetch_for_read(const void* p) {
#if DREL_GNU_EXTENSIONS
  __builtin_prefetch(p);
#else
  static_cast<void>(p);
#endif
}

// As prefetch_for_read, for data read once: the line is brought in without
// displacing what the caches keep for longer (no temporal locality).
[[gnu::always_inline]] inline void prefetch_used_once(const void* p) {
#if DREL_GNU_EXTENSIONS
  __builtin_prefetch(p, 0, 0);
#else
  static_cast<void>(p);
#endif
}

// One 16-byte vector register as lanes: elementwise arithmetic and
// comparisons (a comparison gives -1 where true, 0 where false), each lane
// rounding as its scalar does, and `v[l]` for one lane. The code built on
// them has no scalar spelling that compilers reliably pack the same way, so
// there is no fallback: a compiler without GNU vector extensions is refused
// here, with the reason, rather than deep inside a loop.
#if DREL_GNU_EXTENSIONS
using DoubleLanes2 = double __attribute__((vector_size(16)));
using Int32Lanes4 = std::int32_t __attribute__((vector_size(16)));
#else
#error "drel_ml's core needs GCC or Clang: its hot loops use GNU vector extensions"
#endif

// Whether the processor running this has AVX2; false where the check is not
// available (another compiler or processor family).
inline bool processor_has_avx2() {
#if DREL_GNU_EXTENSIONS && defined(__x86_64__)
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") != 0;
#else
  return false;
#endif
}

}  // namespace drel
