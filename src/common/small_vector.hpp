// A vector of doubles that keeps a typical sample's worth inline, so that the
// per-sample scratch of an update (and a converted feature vector) costs no
// heap allocation for small feature counts.
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <span>
#include <utility>

namespace drel {

// Where the blocks of a longer vector come from and go back to: Blocks::take(n,
// capacity) returns a block of at least n elements and sets its capacity;
// Blocks::give_back(block, capacity) takes ownership of a block (and may keep
// it). A plain pointer crosses, so that the destructor stays one test and a call.
struct HeapBlocks {
  static std::unique_ptr<double[]> take(std::size_t n, std::size_t& capacity) {
    capacity = n;
    return std::make_unique_for_overwrite<double[]>(n);
  }
  static void give_back(double* block, std::size_t) noexcept { delete[] block; }
};

template <class Blocks>
class BasicSmallVector {
 public:
  static constexpr std::size_t kInline = 64;

  // User-provided on purpose: value-initialisation (as in a std::tuple) would
  // otherwise zero the whole inline buffer on every call.
  BasicSmallVector() {}
  // n elements, left uninitialised: every caller writes each one before use.
  explicit BasicSmallVector(std::size_t n) { resize_for_overwrite(n); }
  BasicSmallVector(const BasicSmallVector&) = delete;
  BasicSmallVector& operator=(const BasicSmallVector&) = delete;
  [[gnu::always_inline]] ~BasicSmallVector() {
    if (heap_) [[unlikely]] Blocks::give_back(heap_.release(), capacity_);
  }

  void reserve(std::size_t n) {
    if (n > capacity_) [[unlikely]] grow(n);
  }
  // n elements; the new ones are left for the caller to write.
  void resize_for_overwrite(std::size_t n) {
    reserve(n);
    size_ = n;
  }
  void push_back(double v) {
    if (size_ == capacity_) [[unlikely]] grow(capacity_ * 2);
    data_[size_++] = v;
  }

  double* data() { return data_; }
  double& operator[](std::size_t i) { return data_[i]; }
  double operator[](std::size_t i) const { return data_[i]; }
  std::size_t size() const { return size_; }
  const double* begin() const { return data_; }
  const double* end() const { return data_ + size_; }
  std::span<const double> span() const { return {data_, size_}; }
  operator std::span<const double>() const { return span(); }

 private:
  // Moves the elements into a block of at least n. Out of line: the loops that
  // fill a vector keep their registers for the common case.
  [[gnu::noinline]] void grow(std::size_t n) {
    std::size_t capacity = 0;
    std::unique_ptr<double[]> bigger = Blocks::take(n, capacity);
    std::copy(data_, data_ + size_, bigger.get());
    if (heap_) Blocks::give_back(heap_.release(), capacity_);
    heap_ = std::move(bigger);
    data_ = heap_.get();
    capacity_ = capacity;
  }

  double inline_[kInline];
  std::unique_ptr<double[]> heap_;
  double* data_ = inline_;
  std::size_t size_ = 0;
  std::size_t capacity_ = kInline;
};

using SmallVector = BasicSmallVector<HeapBlocks>;

}  // namespace drel
