// The per-instance borrow flag: any number of readers or one writer, refused at
// once (never waited for) when a call would conflict. Conflicts can only arise
// when Python code runs while a borrow is held, i.e. during argument conversion.
#pragma once

#include <atomic>
#include <cstdint>

#include "python.hpp"

namespace drel::py {

enum class Access { Shared, Exclusive };

class BorrowFlag {
 public:
  // 0 free, n > 0 shared by n, -1 exclusively held.
  std::atomic<std::int64_t> state{0};
};

template <Access A>
class Borrow {
 public:
  explicit Borrow(BorrowFlag& flag) : flag_(flag) {
    if constexpr (A == Access::Exclusive) {
      std::int64_t expected = 0;
      held_ = flag_.state.compare_exchange_strong(expected, -1, std::memory_order_acquire,
                                                  std::memory_order_relaxed);
      if (!held_) [[unlikely]] PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    } else {
      std::int64_t current = flag_.state.load(std::memory_order_relaxed);
      for (;;) {
        if (current == -1) [[unlikely]] {
          PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
          return;
        }
        if (flag_.state.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                              std::memory_order_relaxed)) {
          held_ = true;
          return;
        }
      }
    }
  }
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  ~Borrow() {
    if (!held_) return;
    if constexpr (A == Access::Exclusive) {
      flag_.state.store(0, std::memory_order_release);
    } else {
      flag_.state.fetch_sub(1, std::memory_order_release);
    }
  }
  explicit operator bool() const { return held_; }

 private:
  BorrowFlag& flag_;
  bool held_ = false;
};

}  // namespace drel::py
