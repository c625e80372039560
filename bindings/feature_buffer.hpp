// A converted feature vector: the core's small vector (a typical sample's worth
// inline, so that short vectors cost no allocation) whose longer blocks come
// from a heap block that each thread keeps from one call to the next, so that a
// model with hundreds of features does not pay an allocation and a release on
// every call either.
#pragma once

#include <cstddef>
#include <memory>

#include "common/small_vector.hpp"

namespace drel::py {

struct ThreadSpareBlocks {
  // This thread's kept block when it is large enough, else a new one.
  static std::unique_ptr<double[]> take(std::size_t n, std::size_t& capacity);
  // Keeps `block` as this thread's spare when it is worth keeping.
  static void give_back(double* block, std::size_t capacity) noexcept;
};

using FeatureBuffer = BasicSmallVector<ThreadSpareBlocks>;

}  // namespace drel::py
