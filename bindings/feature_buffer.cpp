#include "bindings/feature_buffer.hpp"

#include <utility>

namespace drel::py {
namespace {

// Blocks up to this many elements (512 KiB) are kept; a rare huge vector is
// not worth holding on to for the life of the thread.
constexpr std::size_t kMaxKept = std::size_t{1} << 16;

struct SpareBlock {
  std::unique_ptr<double[]> block;
  std::size_t capacity = 0;
};

// One per thread: a call converts its vector on its own thread, and a vector
// converted inside another call's conversion simply finds no spare.
thread_local SpareBlock spare;

}  // namespace

std::unique_ptr<double[]> ThreadSpareBlocks::take(std::size_t n, std::size_t& capacity) {
  if (spare.capacity >= n) {
    capacity = std::exchange(spare.capacity, 0);
    return std::move(spare.block);
  }
  capacity = n;
  return std::make_unique_for_overwrite<double[]>(n);
}

void ThreadSpareBlocks::give_back(double* block, std::size_t capacity) noexcept {
  std::unique_ptr<double[]> owned(block);
  if (capacity <= kMaxKept && capacity > spare.capacity) {
    spare.block = std::move(owned);  // the smaller spare, if any, is released
    spare.capacity = capacity;
  }
}

}  // namespace drel::py
