// A growing array of plain values in one malloc'd block. It grows by realloc,
// which moves a large block by remapping its pages rather than copying them,
// and is trimmed to its size by realloc too, in place: the hashed entries of
// many rows are handed to numpy without a copy and without spare capacity.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <limits>
#include <new>
#include <type_traits>
#include <utility>

namespace drel::features {

template <class T>
class Entries {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  Entries() = default;
  Entries(const Entries&) = delete;
  Entries& operator=(const Entries&) = delete;
  Entries(Entries&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  Entries& operator=(Entries&& other) noexcept {
    Entries old(std::move(*this));
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
    return *this;
  }
  ~Entries() { std::free(data_); }

  void push_back(T value) {
    if (size_ == capacity_) [[unlikely]] reallocate(std::max<std::size_t>(16, 2 * capacity_));
    data_[size_++] = value;
  }
  void reserve(std::size_t count) {
    if (count > capacity_) reallocate(count);
  }
  // Keeps the first `count` values (count <= size()).
  void truncate(std::size_t count) noexcept { size_ = std::min(size_, count); }
  void shrink_to_fit() {
    if (capacity_ > size_ && size_ > 0) reallocate(size_);
  }

  T* data() noexcept { return data_; }
  const T* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  T* begin() noexcept { return data_; }
  T* end() noexcept { return data_ + size_; }
  const T* begin() const noexcept { return data_; }
  const T* end() const noexcept { return data_ + size_; }
  T& operator[](std::size_t i) noexcept { return data_[i]; }
  const T& operator[](std::size_t i) const noexcept { return data_[i]; }

 private:
  void reallocate(std::size_t count) {
    if (count > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_alloc();
    void* block = std::realloc(data_, count * sizeof(T));
    if (block == nullptr) throw std::bad_alloc();
    data_ = static_cast<T*>(block);
    capacity_ = count;
  }

  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace drel::features
