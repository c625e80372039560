#include "feature_buffer.hpp"

#include <algorithm>
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

void FeatureBuffer::grow(std::size_t n) {
  std::unique_ptr<double[]> bigger;
  std::size_t capacity = n;
  if (spare.capacity >= n) {
    bigger = std::move(spare.block);
    capacity = std::exchange(spare.capacity, 0);
  } else {
    bigger = std::make_unique_for_overwrite<double[]>(n);
  }
  std::copy(data_, data_ + size_, bigger.get());
  if (heap_) recycle(heap_.release(), capacity_);
  heap_ = std::move(bigger);
  data_ = heap_.get();
  capacity_ = capacity;
}

void FeatureBuffer::recycle(double* block, std::size_t capacity) noexcept {
  std::unique_ptr<double[]> owned(block);
  if (capacity <= kMaxKept && capacity > spare.capacity) {
    spare.block = std::move(owned);  // the smaller spare, if any, is released
    spare.capacity = capacity;
  }
}

}  // namespace drel::py
