// A converted feature vector: a typical sample's worth inline, so that short
// vectors cost no allocation; a longer one lives in a heap block that each
// thread keeps from one call to the next, so that a model with hundreds of
// features does not pay an allocation and a release on every call either.
#pragma once

#include <cstddef>
#include <memory>
#include <span>

namespace drel::py {

class FeatureBuffer {
 public:
  static constexpr std::size_t kInline = 64;

  // User-provided on purpose: value-initialisation (as in a std::tuple) would
  // otherwise zero the whole inline buffer on every call.
  FeatureBuffer() {}
  FeatureBuffer(const FeatureBuffer&) = delete;
  FeatureBuffer& operator=(const FeatureBuffer&) = delete;
  [[gnu::always_inline]] ~FeatureBuffer() {
    if (heap_) [[unlikely]] recycle(heap_.release(), capacity_);
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
  // Moves the elements into a block of at least n (this thread's kept block
  // when it is large enough).
  void grow(std::size_t n);
  // Keeps `block` as this thread's spare when it is worth keeping.
  // Takes ownership of `block`.
  static void recycle(double* block, std::size_t capacity) noexcept;

  double inline_[kInline];
  std::unique_ptr<double[]> heap_;
  double* data_ = inline_;
  std::size_t size_ = 0;
  std::size_t capacity_ = kInline;
};

}  // namespace drel::py
