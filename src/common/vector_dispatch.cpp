#include "common/vector_dispatch.hpp"

#include <cstdlib>
#include <string_view>

namespace drel {
namespace {

bool choose_avx2() {
#if DREL_AVX2_BUILD
  if (const char* forced = std::getenv("DREL_ML_VECTOR");
      forced != nullptr && std::string_view(forced) == "baseline")
    return false;
  return processor_has_avx2();
#else
  return false;
#endif
}

}  // namespace

const bool kUseAvx2 = choose_avx2();

const char* vector_build_name() { return use_avx2() ? "avx2" : "baseline"; }

}  // namespace drel
