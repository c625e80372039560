// A vector of doubles that keeps a typical sample's worth inline, so that the
// per-sample scratch of an update (and a converted feature vector) costs no
// heap allocation for small feature counts. InlineVector<n> keeps n inline.
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <span>

namespace drel {

template <std::size_t kInlineCount>
class InlineVector {
 public:
  static constexpr std::size_t kInline = kInlineCount;

  // User-provided on purpose: value-initialisation (as in a std::tuple) would
  // otherwise zero the whole inline buffer on every call.
  InlineVector() {}
  // n elements, left uninitialised: every caller writes each one before use.
  explicit InlineVector(std::size_t n) { resize_for_overwrite(n); }
  InlineVector(const InlineVector&) = delete;
  InlineVector& operator=(const InlineVector&) = delete;

  void reserve(std::size_t n) {
    if (n <= capacity_) return;
    auto bigger = std::make_unique_for_overwrite<double[]>(n);
    std::copy(data_, data_ + size_, bigger.get());
    heap_ = std::move(bigger);
    data_ = heap_.get();
    capacity_ = n;
  }
  void resize_for_overwrite(std::size_t n) {
    reserve(n);
    size_ = n;
  }
  void push_back(double v) {
    if (size_ == capacity_) [[unlikely]] reserve(capacity_ * 2);
    data_[size_++] = v;
  }

  double& operator[](std::size_t i) { return data_[i]; }
  double operator[](std::size_t i) const { return data_[i]; }
  std::size_t size() const { return size_; }
  const double* begin() const { return data_; }
  const double* end() const { return data_ + size_; }
  std::span<const double> span() const { return {data_, size_}; }
  operator std::span<const double>() const { return span(); }

 private:
  double inline_[kInline];
  std::unique_ptr<double[]> heap_;
  double* data_ = inline_;
  std::size_t size_ = 0;
  std::size_t capacity_ = kInline;
};

using SmallVector = InlineVector<64>;

}  // namespace drel
